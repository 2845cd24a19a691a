// morvane-mpi: morvane-cli's run with the grid shared among MPI ranks.

#include <CLI/CLI.hpp>
#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#include "app/cli/pipeline.hpp"
#include "app/cli/refine_command.hpp"
#include "app/mpi/mpi_share.hpp"
#include "app/mpi/mpi_spins.hpp"
#include "common/program_entry.hpp"
#include "runs/run_manifest.hpp"
#include "workflow/fields.hpp"

namespace {

// Parses the options and runs this rank's part; the exit code.
int run_rank(int argc, char** argv)
{
    mpi_share mpi(MPI_COMM_WORLD);
    CLI::App cli{
        "morvane-mpi: morvane-cli's three steps with the shape grid shared among MPI ranks "
        "(mpirun -n R morvane-mpi OPTIONS). Every rank builds the mesh and loads the observations; "
        "rank 0 writes the shared files, deals the grid's blocks through a one-sided counter, gathers "
        "the rows, journals them and writes output/main.txt; each rank writes its shapes' lightcurve "
        "files and uses --threads threads. The files are byte-identical to morvane-cli's. With --fit "
        "chi2 --refine K, rank 0 refines on its --threads threads once the sweep is whole. With --pole-nside K "
        "the ranks share each level of the spin search first."};
    cli.set_version_flag("--version", std::string("morvane-mpi ") + program_version());
    field_options f;
    std::string spin_file, folder;
    add_pipeline_options(cli, f, spin_file, folder);
    refine_request refine;
    refine.program = "morvane-mpi";
    add_refine_options(cli, refine);
    spin_search_options spin_search;
    add_spin_search_options(cli, spin_search);
    double rank_timeout = 0.0;
    cli.add_option("--rank-timeout", rank_timeout,
                   "rank 0 ends the run when a rank that has not ended has sent nothing for SECONDS while the sweep "
                   "runs (default: the larger of 600 s and 50 times the slowest block so far): output/run.json "
                   "says failed and why, the job ends (MPI_Abort), and --resume finishes the run")
        ->check([](const std::string& text) {
            double seconds = 0.0;
            return parse_decimal(text, seconds) && seconds > 0.0 && std::isfinite(seconds)
                       ? std::string()
                       : std::string("the rank timeout must be a number of seconds greater than 0");
        })
        ->type_name("SECONDS");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Every rank parses the same words; one of them speaks.
        const int code = mpi.rank() == 0 ? cli.exit(e) : e.get_exit_code();
        mpi.finish(the_app());
        return code;
    }
    std::optional<int> refused = apply_folder_and_spin("morvane-mpi", cli, f, spin_file, folder);
    if (!refused && !f.shard.empty()) {
        if (mpi.rank() == 0) std::fprintf(stderr, "morvane-mpi: --shard is morvane-cli's: the ranks share the grid\n");
        refused = exit_refused;
    }
    int refine_subdivisions = 0;
    if (std::string why; !refused && !check_refine_request(cli, refine, f, refine_subdivisions, why)) {
        if (mpi.rank() == 0) std::fprintf(stderr, "morvane-mpi: %s\n", why.c_str());
        refused = exit_refused;
    }
    if (std::string why; !refused && !check_spin_search(cli, spin_search, f, why)) {
        if (mpi.rank() == 0) std::fprintf(stderr, "morvane-mpi: %s\n", why.c_str());
        refused = exit_refused;
    }
    if (refused) {
        mpi.finish(the_app());
        return *refused;
    }
    if (cli.count("--rank-timeout") > 0) mpi.set_rank_timeout(rank_timeout);
    mpi.attach(the_app().share);
    pipeline_role role;
    role.program = "morvane-mpi";
    role.coordinator = mpi.rank() == 0;
    role.quiet = mpi.rank() != 0;
    role.agree_step = [&mpi](const char* step, bool done, const std::string& reason, std::string& why) {
        return mpi.agree_step(step, done, reason, why);
    };
    if (spin_search.nside > 0) {
        // The spins of each level shared among the ranks; the sweep as
        // below; the refinement on rank 0.
        const int code = run_spin_search(spin_search, f, cli.count("--block") > 0, refine, refine_subdivisions,
                                         mpi_spin_role(MPI_COMM_WORLD, role));
        mpi.finish(the_app());
        return code;
    }
    int code = run_pipeline(f, cli.count("--block") > 0, role);
    // The refinement runs on rank 0's threads once the sweep is whole; the
    // other ranks wait for it in finish().
    if (code == exit_complete && refine.starts > 0 && role.coordinator)
        code = run_refinement(refine, refine_subdivisions, the_app());
    mpi.finish(the_app());
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
    int code = exit_failed;
    if (provided < MPI_THREAD_MULTIPLE) {
        std::fprintf(stderr, "morvane-mpi: this MPI library does not allow calls from several threads\n");
    } else {
        // The entry of the rank's own thread: out of memory, or any other
        // exception, here cannot be agreed on with the other ranks, so the
        // whole job is ended ("morvane-mpi: rank R: <text>").
        int rank = 0;
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
        code = guarded_entry(
            "morvane-mpi: rank " + std::to_string(rank), [&] { return run_rank(argc, argv); },
            [](const char*) { MPI_Abort(MPI_COMM_WORLD, exit_failed); });
    }
    MPI_Finalize();
    return code;
}
