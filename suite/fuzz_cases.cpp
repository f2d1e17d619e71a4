#include "suite/fuzz_cases.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "suite/case_selection.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <variant>

namespace veltrano {

namespace {

constexpr int EVENT_ZONE_ALARM = 3;
constexpr int EVENT_ZONE_ALARM_RESTORE = 4;
constexpr int EVENT_FAULT_RESTORE = 8;

int Between(std::mt19937_64& random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

std::uint8_t AnyByte(std::mt19937_64& random)
{
    return static_cast<std::uint8_t>(Between(random, 0, 255));
}

Bytes Built(int row, std::uint8_t comm, std::uint8_t device, int zone)
{
    const auto built = BuildEvent(row, DEFAULT_STATUS, comm, device, zone); // held: the frame is its bytes
    const auto frame = std::get<BuiltEvent>(built).Frame();
    return {frame.begin(), frame.end()};
}

Bytes CatalogueFrame(std::mt19937_64& random, int row)
{
    return Built(row, static_cast<std::uint8_t>(Between(random, 0, PROBE_ADDRESS - 1)),
                 static_cast<std::uint8_t>(Between(random, 0, PROBE_ADDRESS - 1)), Between(random, 1, 8));
}

std::uint8_t ChecksumOver(std::span<const std::uint8_t> bytes)
{
    std::uint8_t sum = 0;
    for (const std::uint8_t byte : bytes)
        sum = static_cast<std::uint8_t>(sum + byte);
    return sum;
}

// A copy of the seed at least `size` bytes long, zeros added.
Bytes AtLeast(const Bytes& seed, std::size_t size)
{
    Bytes frame = seed;
    if (frame.size() < size)
        frame.resize(size, 0);
    return frame;
}

std::vector<Bytes> One(Bytes frame)
{
    std::vector<Bytes> datagrams;
    datagrams.push_back(std::move(frame));
    return datagrams;
}

std::vector<Bytes> Empty(const Bytes&, std::mt19937_64&)
{
    return One({});
}

std::vector<Bytes> Oversize(const Bytes& seed, std::mt19937_64& random)
{
    constexpr std::array<std::size_t, 4> SIZES{FRAME_BUFFER_SIZE + 1, 256, 1472, MAX_UDP_PAYLOAD};
    const int pick = Between(random, 0, static_cast<int>(SIZES.size()));
    const std::size_t size = pick < static_cast<int>(SIZES.size())
                                 ? SIZES[static_cast<std::size_t>(pick)]
                                 : static_cast<std::size_t>(Between(random, FRAME_BUFFER_SIZE + 1, 4096));
    Bytes frame = seed;
    while (frame.size() < size)
        frame.push_back(AnyByte(random));
    return One(std::move(frame));
}

std::vector<Bytes> LengthByte(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    const auto size = static_cast<int>(frame.size());
    const std::array<int, 6> lengths{0,        1,   size - 1,
                                     size + 1, 255, Between(random, std::min(size + 2, 255), 255)};
    frame[FRAME_LENGTH] = static_cast<std::uint8_t>(lengths[static_cast<std::size_t>(Between(random, 0, 5))]);
    FixUpChecksum(frame);
    return One(std::move(frame));
}

std::vector<Bytes> Truncated(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    frame.resize(static_cast<std::size_t>(Between(random, 1, static_cast<int>(seed.size()) - 1)));
    return One(std::move(frame));
}

std::vector<Bytes> Trailing(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    const int room = static_cast<int>(FRAME_BUFFER_SIZE) - static_cast<int>(seed.size());
    const int extra = Between(random, 1, std::max(room, 1));
    for (int i = 0; i < extra; ++i)
        frame.push_back(AnyByte(random));
    return One(std::move(frame));
}

std::vector<Bytes> Checksum(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    frame.back() = static_cast<std::uint8_t>(frame.back() ^ Between(random, 1, 255));
    return One(std::move(frame));
}

std::vector<Bytes> WithCommand(const Bytes& seed, std::uint8_t command)
{
    Bytes frame = seed;
    frame[FRAME_COMMAND] = command;
    FixUpChecksum(frame);
    return One(std::move(frame));
}

bool KnownCommand(std::uint8_t command)
{
    return command == CMD_ONLINE || command == CMD_STATUS || command == CMD_FAULT ||
           command == CMD_FAULT_RESTORE || command == CMD_DEBUG;
}

std::vector<Bytes> CommandUnknown(const Bytes& seed, std::mt19937_64& random)
{
    std::uint8_t command = 0;
    do
        command = static_cast<std::uint8_t>(Between(random, 0, ACK_FLAG - 1));
    while (KnownCommand(command));
    return WithCommand(seed, command);
}

std::vector<Bytes> CommandAck(const Bytes& seed, std::mt19937_64& random)
{
    return WithCommand(seed, static_cast<std::uint8_t>(Between(random, ACK_FLAG, 255)));
}

std::vector<Bytes> DebugFrame(const Bytes& seed, std::mt19937_64&)
{
    Bytes frame(DEBUG_FRAME_LENGTH, 0);
    std::copy_n(seed.begin(), FRAME_COMMAND, frame.begin());
    frame[FRAME_LENGTH] = DEBUG_FRAME_LENGTH;
    frame[FRAME_COMMAND] = CMD_DEBUG;
    return One(std::move(frame)); // its final byte 0x00, as the window sends it
}

std::vector<Bytes> AddressHigh(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    const int which = Between(random, 0, 2);
    if (which != 1)
        frame[FRAME_COMM_NO] = static_cast<std::uint8_t>(Between(random, ADDRESS_NUMBERS, 255));
    if (which != 0)
        frame[FRAME_DEVICE_NO] = static_cast<std::uint8_t>(Between(random, ADDRESS_NUMBERS, 255));
    FixUpChecksum(frame);
    return One(std::move(frame));
}

std::vector<Bytes> Reserved(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    const std::size_t first = FRAME_DEVICE_NO + 1;
    for (std::size_t i = first; i < FRAME_COMMAND; ++i)
        frame[i] = AnyByte(random);
    frame[first + static_cast<std::size_t>(Between(random, 0, 2))] |=
        static_cast<std::uint8_t>(Between(random, 1, 255));
    FixUpChecksum(frame);
    return One(std::move(frame));
}

std::vector<Bytes> StatusBits(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    if (frame[FRAME_COMMAND] != CMD_STATUS || frame.size() != STATUS_FRAME_LENGTH)
        frame = Built(EVENT_ZONE_ALARM, seed[FRAME_COMM_NO], seed[FRAME_DEVICE_NO], 1);
    if (Between(random, 0, 1) == 0)
        frame[FRAME_STATUS + Spare] = static_cast<std::uint8_t>(Between(random, 1, 255));
    else
        frame[FRAME_STATUS + DeviceFlags] |= ACK_FLAG; // bit 7: no event sets it
    FixUpChecksum(frame);
    return One(std::move(frame));
}

std::vector<Bytes> TwoFrames(const Bytes& seed, std::mt19937_64& random)
{
    Bytes frame = seed;
    const Bytes second = CatalogueFrame(random, Between(random, 0, EVENT_TYPE_COUNT - 1));
    frame.insert(frame.end(), second.begin(), second.end());
    return One(std::move(frame));
}

std::vector<Bytes> Burst(const Bytes& seed, std::mt19937_64& random)
{
    return std::vector<Bytes>(static_cast<std::size_t>(Between(random, 2, 32)), seed);
}

std::vector<Bytes> OutOfOrder(const Bytes& seed, std::mt19937_64& random)
{
    const std::uint8_t comm = seed[FRAME_COMM_NO];
    const std::uint8_t device = seed[FRAME_DEVICE_NO];
    if (Between(random, 0, 1) == 0)
        return One(Built(EVENT_FAULT_RESTORE, comm, device, 1));
    const int zone = Between(random, 1, 8);
    return {Built(EVENT_ZONE_ALARM_RESTORE, comm, device, zone), Built(EVENT_ZONE_ALARM, comm, device, zone)};
}

// The answer rows: the seed is the acknowledgement the panel's frame is owed.
std::vector<Bytes> AnswerCorrect(const Bytes& seed, std::mt19937_64&)
{
    return One(seed);
}

std::vector<Bytes> AnswerEcho(const Bytes& seed, std::mt19937_64& random)
{
    Bytes ack = seed;
    const auto at = static_cast<std::size_t>(Between(random, FRAME_COMM_NO, FRAME_COMMAND - 1));
    ack[at] = static_cast<std::uint8_t>(ack[at] ^ Between(random, 1, 255));
    FixUpChecksum(ack);
    return One(std::move(ack));
}

std::vector<Bytes> AnswerCommand(const Bytes& seed, std::mt19937_64& random)
{
    Bytes ack = seed;
    std::uint8_t command = 0;
    do
        command = static_cast<std::uint8_t>(Between(random, ACK_FLAG, 255));
    while (command == seed[FRAME_COMMAND]);
    ack[FRAME_COMMAND] = command;
    FixUpChecksum(ack);
    return One(std::move(ack));
}

std::vector<Bytes> AnswerNoAckBit(const Bytes& seed, std::mt19937_64&)
{
    Bytes ack = seed;
    ack[FRAME_COMMAND] = static_cast<std::uint8_t>(ack[FRAME_COMMAND] & ~ACK_FLAG);
    FixUpChecksum(ack);
    return One(std::move(ack));
}

std::vector<Bytes> AnswerOverlong(const Bytes& seed, std::mt19937_64& random)
{
    Bytes ack = seed;
    const int extra = Between(random, 1, 16);
    for (int i = 0; i < extra; ++i)
        ack.insert(ack.end() - 1, AnyByte(random));
    FixUpFrame(ack);
    return One(std::move(ack));
}

std::vector<Bytes> AnswerUnsolicited(const Bytes& seed, std::mt19937_64& random)
{
    Bytes other = AtLeast(seed, ACK_FRAME_LENGTH);
    other[FRAME_DEVICE_NO] = static_cast<std::uint8_t>(other[FRAME_DEVICE_NO] ^ Between(random, 1, 255));
    FixUpChecksum(other);
    return {seed, std::move(other)};
}

std::vector<Bytes> AnswerNone(const Bytes&, std::mt19937_64&)
{
    return {};
}

constexpr FuzzSide C = FuzzSide::Centre;
constexpr FuzzSide P = FuzzSide::Panel;

const FuzzClass CLASSES[] = {
    {"empty", C, "a datagram of no bytes", "an empty datagram", Empty},
    {"oversize", C, "the frame padded to 129 to 65,507 bytes", "a datagram longer than 128 bytes", Oversize},
    {"length-byte", C, "byte 0 set to 0, 1, one off, 255 or past the datagram; checksum fixed up",
     "a length byte that is not the frame's size", LengthByte},
    {"truncated", C, "the frame cut short, its length byte unchanged", "a frame cut short", Truncated},
    {"trailing", C, "bytes added after the frame's checksum", "bytes after the frame's end", Trailing},
    {"checksum", C, "the checksum byte wrong", "a wrong checksum", Checksum},
    {"command-unknown", C, "byte 6 a command no panel sends", "an unknown command", CommandUnknown},
    {"command-ack", C, "byte 6 with the acknowledgement bit set", "an acknowledgement sent to the centre",
     CommandAck},
    {"debug-frame", C, "the 18-byte debug frame", "the debug frame", DebugFrame},
    {"address-high", C, "communicator or device 240 to 255", "a communicator or device above 239",
     AddressHigh},
    {"reserved", C, "bytes 3 to 5 not zero", "reserved bytes that are not zero", Reserved},
    {"status-bits", C, "status bits that no event sets", "status bits that no event sets", StatusBits},
    {"two-frames", C, "two frames in one datagram", "two frames in one datagram", TwoFrames},
    {"burst", C, "one frame 2 to 32 times at once", "a burst of one frame", Burst},
    {"out-of-order", C, "a restore before its alarm, a fault restore without a fault",
     "events in an order no panel sends", OutOfOrder},
    {"answer-correct", P, "the right acknowledgement", "a correct acknowledgement", AnswerCorrect},
    {"answer-checksum", P, "the acknowledgement's checksum wrong", "an acknowledgement with a wrong checksum",
     Checksum},
    {"answer-echo", P, "one of bytes 1 to 5 not the frame's", "an acknowledgement of another frame",
     AnswerEcho},
    {"answer-command", P, "another command with bit 7 set", "an acknowledgement with another command",
     AnswerCommand},
    {"answer-no-ack-bit", P, "bit 7 of the command cleared", "an answer without the acknowledgement bit",
     AnswerNoAckBit},
    {"answer-overlong", P, "bytes added inside the acknowledgement, length and checksum fixed up",
     "an acknowledgement longer than 8 bytes", AnswerOverlong},
    {"answer-truncated", P, "the acknowledgement cut short", "an acknowledgement cut short", Truncated},
    {"answer-duplicated", P, "the acknowledgement twice", "an acknowledgement sent twice", Burst},
    {"answer-late", P, "the acknowledgement after the panel's timeout", "a late acknowledgement",
     AnswerCorrect},
    {"answer-unsolicited", P, "an acknowledgement of a frame the panel never sent, after the right one",
     "an unsolicited frame", AnswerUnsolicited},
    {"answer-none", P, "no answer", "no answer", AnswerNone},
};

std::uint64_t SplitMix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

} // namespace

std::span<const FuzzClass> FuzzClasses()
{
    return CLASSES;
}

const FuzzClass* FindFuzzClass(std::string_view id)
{
    const auto found = std::ranges::find(CLASSES, id, &FuzzClass::id);
    return found == std::end(CLASSES) ? nullptr : &*found;
}

Result<std::vector<std::size_t>> ChooseFuzzClasses(FuzzSide side, std::span<const std::string> only,
                                                   std::span<const std::string> skip)
{
    std::vector<std::string_view> ids;
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < std::size(CLASSES); ++i) {
        if (CLASSES[i].side == side) {
            ids.push_back(CLASSES[i].id);
            rows.push_back(i);
        }
    }
    auto chosen = ChooseCases(ids, only, skip);
    if (!chosen)
        return Failure(chosen.error());
    std::vector<std::size_t> run;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if ((*chosen)[i])
            run.push_back(rows[i]);
    }
    if (run.empty())
        return Failure("no mutation class left to run");
    return run;
}

void FixUpChecksum(Bytes& frame)
{
    if (frame.size() >= 2)
        frame.back() = ChecksumOver(std::span(frame).first(frame.size() - 1));
}

void FixUpFrame(Bytes& frame)
{
    if (frame.empty())
        return;
    frame[FRAME_LENGTH] = static_cast<std::uint8_t>(std::min<std::size_t>(frame.size(), 255));
    FixUpChecksum(frame);
}

FuzzStream::FuzzStream(std::uint64_t seed, std::vector<std::size_t> rows, std::vector<Bytes> seeds)
    : m_seed(seed), m_rows(std::move(rows)), m_seeds(std::move(seeds))
{}

std::mt19937_64 FuzzStream::RandomFor(std::uint64_t index) const
{
    return std::mt19937_64(SplitMix(m_seed ^ SplitMix(index)));
}

FuzzCase FuzzStream::At(std::uint64_t index) const
{
    std::mt19937_64 random = RandomFor(index);
    const std::size_t row = m_rows[static_cast<std::size_t>(random() % m_rows.size())];
    Bytes seed = m_seeds.empty() ? CatalogueFrame(random, Between(random, 0, EVENT_TYPE_COUNT - 1))
                                 : m_seeds[static_cast<std::size_t>(random() % m_seeds.size())];
    // A capture's frame too short to mutate where a class changes it is padded to the ack's size.
    seed = AtLeast(seed, ACK_FRAME_LENGTH);
    return {index, row, CLASSES[row].mutate(seed, random)};
}

FuzzCase FuzzStream::Answer(std::uint64_t index, std::span<const std::uint8_t> frame) const
{
    std::mt19937_64 random = RandomFor(index);
    // Half the answers are right, so that the panel's exchanges go on between the wrong ones.
    std::size_t row = m_rows[static_cast<std::size_t>(random() % m_rows.size())];
    if (random() % 2 == 0)
        row = static_cast<std::size_t>(FindFuzzClass("answer-correct") - CLASSES);
    const auto answer = AcknowledgementFor(frame);
    const auto* ack = std::get_if<AckFrame>(&answer);
    if (ack == nullptr)
        return {index, row, {}};
    return {index, row, CLASSES[row].mutate(Bytes(ack->begin(), ack->end()), random)};
}

Bytes ProbeFrame()
{
    return Built(EVENT_ZONE_ALARM_RESTORE, PROBE_ADDRESS, PROBE_ADDRESS, 1);
}

} // namespace veltrano
