#include "fleet/fleet_panels.h"

#include "protocol/acknowledgement.h"
#include "sim/event_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <variant>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const Endpoint CENTRE{LOOPBACK_ADDRESS, 8015};
const MonoTime START = MonoTime{} + 1h;

// Drives a fleet in simulated time, a step at a time, answering the sends `answer` picks.
struct Drive
{
    explicit Drive(const FleetConfig& config) : fleet(config, CENTRE, START) {}

    // `answer(datagram, sendNumber)` tells whether the centre answers this send (counted from 1 per panel).
    template <typename Answer>
    void For(std::chrono::microseconds span, std::chrono::microseconds step, Answer answer)
    {
        for (const auto end = clock + span; clock <= end; clock += step) {
            const MonoTime now = START + clock;
            std::vector<FleetPanels::Datagram> out;
            fleet.Tick(now, out, 1 << 20);
            for (std::size_t i = 0; i < out.size(); ++i) { // answers may add the panel's next frame
                const FleetPanels::Datagram datagram = out[i];
                sent.push_back(datagram);
                sentAt.push_back(clock);
                if (!answer(datagram, ++sends[datagram.panel]))
                    continue;
                const auto ack = std::get<AckFrame>(AcknowledgementFor(datagram.Frame()));
                fleet.Received(CENTRE, ack, now + 50us, out);
            }
        }
    }

    FleetPanels fleet;
    std::chrono::microseconds clock{0};
    std::vector<FleetPanels::Datagram> sent;
    std::vector<std::chrono::microseconds> sentAt;
    std::map<std::uint32_t, int> sends;
};

const auto ALWAYS = [](const FleetPanels::Datagram&, int) { return true; };

TEST(FleetPanels, HeartbeatsSpreadEvenlyOverTheIntervalAndCarryEachPanelsNumber)
{
    FleetConfig config;
    config.first = 239; // 0:239, then 1:0 onwards in the sweep's order
    config.panels = 100;
    config.heartbeat = 1s;
    Drive drive(config);
    drive.For(999ms, 100us, ALWAYS);

    ASSERT_EQ(drive.sent.size(), 100u);
    std::array<int, 10> perTenth{};
    std::map<std::uint32_t, int> perPanel;
    for (std::size_t i = 0; i < drive.sent.size(); ++i) {
        const auto& datagram = drive.sent[i];
        ++perPanel[datagram.panel];
        ++perTenth[static_cast<std::size_t>(drive.sentAt[i] / 100ms)];
        const std::uint32_t number = 239 + datagram.panel;
        EXPECT_EQ(datagram.bytes[FRAME_COMM_NO], number / 240);
        EXPECT_EQ(datagram.bytes[FRAME_DEVICE_NO], number % 240);
        EXPECT_EQ(datagram.bytes[FRAME_COMMAND], CMD_STATUS);
    }
    EXPECT_EQ(perPanel.size(), 100u);
    for (int tenth : perTenth)
        EXPECT_EQ(tenth, 10);
    EXPECT_EQ(drive.fleet.Totals().acknowledged, 100u);
    EXPECT_EQ(drive.fleet.RoundTripTimes().Count(), 100u);
}

TEST(FleetPanels, RetriesThenLosesAFrameAndAResendRepeatsItsBytes)
{
    struct Case
    {
        const char* name;
        std::uint32_t retries;
        int answeredSend; // the send the centre answers, 0: none
        std::uint64_t sent, retried, lost;
    };
    const Case cases[] = {
        {"answered at once", 3, 1, 1, 0, 0},           {"answered at the third send", 3, 3, 3, 2, 0},
        {"answered at the last retry", 2, 3, 3, 2, 0}, {"never answered", 2, 0, 3, 2, 1},
        {"never answered, no retries", 0, 0, 1, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FleetConfig config;
        config.heartbeat = 4s; // one heartbeat in the first interval
        config.retries = c.retries;
        config.retryInterval = 100ms;
        config.timeout = 300ms;
        Drive drive(config);
        const auto answer = [&](const FleetPanels::Datagram&, int send) { return send == c.answeredSend; };
        drive.For(4s, 1ms, answer);
        drive.fleet.StopNewFrames();
        drive.For(1s, 1ms, answer);

        const auto totals = drive.fleet.Totals();
        EXPECT_EQ(totals.sent, c.sent);
        EXPECT_EQ(totals.retried, c.retried);
        EXPECT_EQ(totals.lost, c.lost);
        EXPECT_EQ(totals.acknowledged, c.lost == 0 ? 1u : 0u);
        EXPECT_EQ(drive.fleet.Kinds()[HEARTBEAT_KIND].sent, c.sent);
        EXPECT_EQ(drive.fleet.LostPanels(),
                  c.lost == 0 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0});
        ASSERT_EQ(drive.sent.size(), c.sent);
        for (std::size_t i = 0; i < drive.sent.size(); ++i) {
            EXPECT_EQ(drive.sent[i].bytes, drive.sent.front().bytes);
            if (i > 0) { // each retry one interval after the send before it
                EXPECT_EQ(drive.sentAt[i] - drive.sentAt[i - 1], config.retryInterval);
            }
        }
        EXPECT_EQ(drive.fleet.Waiting(), 0u);
    }
}

TEST(FleetPanels, EventsComeInPairsAndAccumulateTheStatusAsTheBuilderDoes)
{
    FleetConfig config;
    config.heartbeat = 3600s;
    config.eventsPerHour = 3600.0 * 50; // every 20 ms on average
    config.seed = 7;
    Drive drive(config);
    drive.For(4s, 1ms, ALWAYS);

    ASSERT_GT(drive.sent.size(), 60u);
    StatusBytes status = DEFAULT_STATUS;
    std::vector<std::size_t> kinds;
    for (const auto& datagram : drive.sent) {
        // Every frame is the builder's for some row from the status the one before left.
        bool built = false;
        for (int row = 0; row < EVENT_TYPE_COUNT && !built; ++row)
            for (int zone = 1; zone <= 8 && !built; ++zone) {
                auto event = std::get<BuiltEvent>(BuildEvent(row, status, 0, 0, zone));
                if (event.bytes == datagram.bytes && event.length == datagram.length) {
                    built = true;
                    status = event.status;
                }
            }
        ASSERT_TRUE(built) << "frame " << kinds.size();
        kinds.push_back(datagram.length);
    }
    EXPECT_EQ(drive.fleet.StatusOf(0), status);

    // Openers and closers alternate: the closer's key names the opener's restore or counterpart.
    const auto& counts = drive.fleet.Kinds();
    const std::pair<const char*, const char*> pairs[] = {
        {"zone-alarm", "zone-alarm-restore"}, {"device-disarm", "device-arm"},
        {"mains-absent", "mains-present"},    {"fault", "fault-restore"},
        {"tamper", "tamper-restore"},         {"test-mode", "work-mode"}};
    std::uint64_t openers = 0;
    std::uint64_t closers = 0;
    for (std::size_t kind = 0; kind < EVENT_TYPE_COUNT; ++kind)
        for (const auto& [opener, closer] : pairs) {
            if (std::string_view(FleetPanels::KindName(kind)) == opener)
                openers += counts[kind].sent;
            if (std::string_view(FleetPanels::KindName(kind)) == closer)
                closers += counts[kind].sent;
        }
    EXPECT_GT(openers, 0u);
    EXPECT_LE(openers - closers, 1u);
    EXPECT_EQ(counts[0].sent, 0u); // "online" is no event of a pair

    Drive again(config);
    again.For(4s, 1ms, ALWAYS);
    EXPECT_EQ(again.sent.size(), drive.sent.size()) << "the same seed, the same events";
}

TEST(FleetPanels, StoppingSendsNothingNewButRetriesWhatIsOut)
{
    FleetConfig config;
    config.panels = 10;
    config.heartbeat = 100ms;
    config.retryInterval = 50ms;
    config.timeout = 50ms;
    config.retries = 1;
    Drive drive(config);
    drive.For(100ms, 1ms, [](const FleetPanels::Datagram&, int) { return false; });
    drive.fleet.StopNewFrames();
    drive.For(200ms, 1ms, [](const FleetPanels::Datagram&, int) { return false; });

    EXPECT_EQ(drive.fleet.Totals().sent, 20u);
    EXPECT_EQ(drive.fleet.Totals().lost, 10u);
    EXPECT_FALSE(drive.fleet.NextWake());
}

} // namespace
