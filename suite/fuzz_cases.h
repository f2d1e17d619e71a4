#pragma once

#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What `fuzz centre` sends and what `fuzz panel` answers: a table of mutation classes, one row each, and the
// case stream they make from a seed. A class changes what it names and keeps every other byte well formed
// (the length byte and the checksum fixed up) unless fixing them up is what it breaks.

namespace veltrano {

using Bytes = std::vector<std::uint8_t>;

enum class FuzzSide : std::uint8_t
{
    Centre, // frames sent to a centre
    Panel,  // answers given to a panel
};

struct FuzzClass
{
    std::string_view id; // fixed: what --only/--skip, findings and JUnit name
    FuzzSide side{FuzzSide::Centre};
    std::string_view changes;  // what the row changes, for the man page and --help
    std::string_view sentence; // what a finding quotes of the case that caused it
    // The case's datagrams from a well-formed frame: a panel's frame for the centre side, the correct
    // acknowledgement for the panel side (there, no datagram is no answer).
    std::vector<Bytes> (*mutate)(const Bytes& seed, std::mt19937_64& random){nullptr};
};

// Every row, the centre's first.
std::span<const FuzzClass> FuzzClasses();
const FuzzClass* FindFuzzClass(std::string_view id);
// The rows of `side` that run: every one, or those of --only, less those of --skip, as indices into
// FuzzClasses(); an unknown id, or one of the other side, is the reason.
Result<std::vector<std::size_t>> ChooseFuzzClasses(FuzzSide side, std::span<const std::string> only,
                                                   std::span<const std::string> skip);

// The checksum of the frame's own bytes written into its last byte, and the length byte set to its size:
// what makes a mutated frame well formed again.
void FixUpFrame(Bytes& frame);
void FixUpChecksum(Bytes& frame);

struct FuzzCase
{
    std::uint64_t index{0};
    std::size_t row{0}; // into FuzzClasses()
    std::vector<Bytes> datagrams;
};

// The cases of a run. Case i depends on the seed, the classes chosen, the seed frames and i alone, never on
// the pace or on what came back: one seed and one set of options give the same cases in the same order.
class FuzzStream final
{
public:
    // `seeds`: the well-formed frames the classes mutate (a capture's); none: frames of the catalogue.
    FuzzStream(std::uint64_t seed, std::vector<std::size_t> rows, std::vector<Bytes> seeds = {});

    FuzzCase At(std::uint64_t index) const;
    // For the panel side: the case that answers `frame`, the n-th answer of the run.
    FuzzCase Answer(std::uint64_t index, std::span<const std::uint8_t> frame) const;
    std::uint64_t Seed() const { return m_seed; }
    std::span<const std::size_t> Rows() const { return m_rows; }

private:
    std::mt19937_64 RandomFor(std::uint64_t index) const;

    std::uint64_t m_seed{0};
    std::vector<std::size_t> m_rows;
    std::vector<Bytes> m_seeds;
};

// The probe panel's communicator and device; the catalogue frames the cases start from keep below it, so that
// no answer to a case is taken for the probe's.
inline constexpr std::uint8_t PROBE_ADDRESS = 239;
// The probe: a well-formed status frame of the probe panel, zone 1's alarm restore (no change of status).
Bytes ProbeFrame();

} // namespace veltrano
