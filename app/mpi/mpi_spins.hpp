#pragma once

#include <mpi.h>

#include "app/cli/spin_command.hpp"

// A rank's part in a spin search shared over MPI ranks: spin i of each
// level is rank (i mod size)'s; once a level's own spins are fitted every
// rank gathers every other rank's, so that all of them hold the whole
// level and choose the next one alike; rank 0's texts (the journal, whether
// a sweep had begun) are broadcast. `pipeline` is the rank's part in the
// pipeline.
spin_role mpi_spin_role(MPI_Comm comm, const pipeline_role& pipeline);
