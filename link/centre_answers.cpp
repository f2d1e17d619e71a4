#include "link/centre_answers.h"

#include <variant>

namespace veltrano {

void CentreAnswers::Plan(const PlannedAnswer& planned, const Endpoint& from, std::uint32_t source,
                         MonoTime now)
{
    CentreAnswer answer{planned.ack,        from, source, planned.delay.count() > 0, false, planned.spoilt,
                        now + planned.delay};
    Queue(answer);
    answer.duplicate = true;
    for (std::uint32_t i = 0; i < planned.duplicates; ++i)
        Queue(answer);
}

std::optional<NoAnswer> CentreAnswers::Plan(const AnswerDecision& decision, const Endpoint& from,
                                            std::uint32_t source, MonoTime (*now)())
{
    if (const auto* none = std::get_if<NoAnswer>(&decision))
        return *none;
    const auto& planned = std::get<PlannedAnswer>(decision);
    Plan(planned, from, source, planned.delay.count() > 0 ? now() : MonoTime{});
    return std::nullopt;
}

void CentreAnswers::Queue(const CentreAnswer& answer)
{
    if (answer.delayed)
        m_held.push_back(answer);
    else
        m_ready.push_back(answer);
}

void CentreAnswers::Release(MonoTime now)
{
    while (!m_held.empty() && m_held.front().due <= now) {
        m_ready.push_back(m_held.front());
        m_held.pop_front();
    }
}

std::optional<MonoTime> CentreAnswers::NextDue() const
{
    if (m_held.empty())
        return std::nullopt;
    return m_held.front().due;
}

void CentreCounts::Received(bool malformed)
{
    ++m_received;
    if (malformed)
        ++m_malformed;
}

void CentreCounts::Sent(const CentreAnswer& answer, int error)
{
    if (error != 0) {
        ++m_sendFailed;
        return;
    }
    ++m_acksSent;
    if (answer.duplicate) {
        ++m_duplicated;
        return;
    }
    ++m_acknowledged;
    if (answer.delayed)
        ++m_delayed;
    if (answer.spoilt)
        ++m_badChecksum;
}

std::vector<RecordField> CentreCounts::SummaryFields(std::size_t heldAtExit, std::uint64_t kernelDrops,
                                                     std::uint64_t receiveBuffer, std::uint64_t seed) const
{
    return {
        {"received", m_received},
        {"acknowledged", m_acknowledged},
        {"acks_sent", m_acksSent},
        {"not_answered_empty", Unanswered(NoAnswer::Empty)},
        {"not_answered_oversize", Unanswered(NoAnswer::Oversize)},
        {"not_answered_ack", Unanswered(NoAnswer::Acknowledgement)},
        {"not_answered_no_ack", Unanswered(NoAnswer::Withheld)},
        {"not_answered_sender", Unanswered(NoAnswer::RefusedSender)},
        {"malformed", m_malformed},
        {"dropped", Unanswered(NoAnswer::Dropped)},
        {"delayed", m_delayed},
        {"duplicated", m_duplicated},
        {"bad_checksum", m_badChecksum},
        {"send_failed", m_sendFailed},
        {"held_at_exit", static_cast<std::uint64_t>(heldAtExit)},
        {"kernel_drops", kernelDrops},
        {"rcvbuf", receiveBuffer},
        {"seed", seed},
    };
}

} // namespace veltrano
