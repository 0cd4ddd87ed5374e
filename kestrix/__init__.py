"""Native hot routines for atomistic simulation: neighbour lists, structure text blocks and lattice geometry."""
