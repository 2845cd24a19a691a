#include "app/mpi/mpi_spins.hpp"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "inversion/spin_journal.hpp"

namespace {

// Every rank's `text`, joined in rank order.
std::string gather_all(MPI_Comm comm, const std::string& text)
{
    int size = 0;
    MPI_Comm_size(comm, &size);
    const int length = static_cast<int>(text.size());
    std::vector<int> lengths(static_cast<std::size_t>(size)), offsets(static_cast<std::size_t>(size));
    MPI_Allgather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, comm);
    int total = 0;
    for (int r = 0; r < size; ++r) {
        offsets[static_cast<std::size_t>(r)] = total;
        total += lengths[static_cast<std::size_t>(r)];
    }
    std::string all(static_cast<std::size_t>(total), '\0');
    MPI_Allgatherv(text.data(), length, MPI_CHAR, all.data(), lengths.data(), offsets.data(), MPI_CHAR, comm);
    return all;
}

// Rank 0's `text`, on every rank.
void broadcast(MPI_Comm comm, std::string& text)
{
    unsigned long long length = text.size();
    MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG_LONG, 0, comm);
    text.resize(static_cast<std::size_t>(length));
    if (length > 0) MPI_Bcast(text.data(), static_cast<int>(length), MPI_CHAR, 0, comm);
}

// Fills the entries of `level` that `own` does not mark from the gathered
// lines "index spin"; false with `why` when a line is not one.
bool take_others(const std::string& all, std::vector<spin_fit>& level, const std::vector<uint8_t>& own,
                 std::string& why)
{
    std::string_view rest = all;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t space = line.find(' ');
        const std::size_t index = std::strtoull(std::string(line.substr(0, space)).c_str(), nullptr, 10);
        spin_fit s;
        if (space == std::string_view::npos || index >= level.size() ||
            !parse_spin_journal_line(line.substr(space + 1), s)) {
            why = "a rank sent a spin that is not one";
            return false;
        }
        if (!own[index]) level[index] = s;
    }
    return true;
}

}  // namespace

spin_role mpi_spin_role(MPI_Comm comm, const pipeline_role& pipeline)
{
    int rank = 0, size = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &size);
    spin_role role;
    role.pipeline = pipeline;
    role.mine = [rank, size](std::size_t i) { return static_cast<int>(i % static_cast<std::size_t>(size)) == rank; };
    role.exchange = [comm](std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped,
                           std::string& why) {
        // A rank that stopped stops them all, before anything is exchanged.
        int stop_here = stopped ? 1 : 0, stop_any = 0;
        MPI_Allreduce(&stop_here, &stop_any, 1, MPI_INT, MPI_MAX, comm);
        if (stop_any != 0) {
            why = "stopped";
            return false;
        }
        std::string mine;
        for (std::size_t i = 0; i < level.size(); ++i) {
            if (!own[i]) continue;
            std::string line = spin_journal_line(level[i]);
            line.pop_back();  // the newline
            mine += std::to_string(i) + " " + line + "\n";
        }
        return take_others(gather_all(comm, mine), level, own, why);
    };
    role.share_text = [comm](std::string& text) { broadcast(comm, text); };
    return role;
}
