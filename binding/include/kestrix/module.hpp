#pragma once
// One extension module: its functions' method records, the CPython module
// definition and the single-phase start-up behind PyInit_<name>.

#include <atomic>
#include <cstdint>
#include <span>

#include "kestrix/ref.hpp"

namespace kestrix::binding {

/// One module: the method records of its functions (added in order, each
/// copied into a block CPython keeps), the CPython module definition, the
/// interpreter that imported it and the cached module object.
struct ModuleDefinition {
    /// A module named `name` (as in "_vicinal") with these functions and no docstring.
    constexpr ModuleDefinition(std::span<const PyMethodDef* const> functions_,
                               const char* name) noexcept
        : functions(functions_),
          def{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr} {}

    std::span<const PyMethodDef* const> functions;
    PyModuleDef def;
    std::atomic<std::int64_t> interpreter_id{-1};
    PyObject* cache = nullptr;
};

/// Single-phase start-up behind PyInit_<name>.
PyObject* module_init(ModuleDefinition& definition) noexcept;

}  // namespace kestrix::binding
