#include "suite/fuzz_minimiser.h"

#include <algorithm>
#include <optional>

namespace veltrano {

namespace {

using Frames = std::vector<FuzzFrame>;

class Search final
{
public:
    Search(const Reproduces& reproduces, int maxTries) : m_reproduces(reproduces), m_maxTries(maxTries) {}

    bool Spent() const { return m_tries >= m_maxTries; }
    int Tries() const { return m_tries; }

    bool Try(const Frames& candidate)
    {
        if (Spent() || candidate.empty())
            return false;
        ++m_tries;
        if (!m_reproduces(candidate))
            return false;
        m_accepted.push_back(candidate);
        return true;
    }

    // Every candidate that reproduced, in the order they did.
    std::vector<Frames>& Accepted() { return m_accepted; }

private:
    std::vector<Frames> m_accepted;
    const Reproduces& m_reproduces;
    int m_maxTries;
    int m_tries{0};
};

Frames Tail(const Frames& frames, std::size_t length)
{
    return {frames.end() - static_cast<std::ptrdiff_t>(std::min(length, frames.size())), frames.end()};
}

// The shortest tail of 1, 10, 20, 40... frames that reproduces; none when not even the whole does.
std::optional<Frames> BackSearch(const Frames& frames, Search& search)
{
    for (std::size_t length = 1;; length = length == 1 ? 10 : length * 2) {
        const Frames tail = Tail(frames, length);
        if (search.Try(tail))
            return tail;
        if (length >= frames.size() || search.Spent())
            return std::nullopt;
    }
}

// Delta debugging by complements, ending with single frames: no frame of the result can go.
Frames DeltaDebug(Frames frames, Search& search)
{
    std::size_t parts = 2;
    while (frames.size() >= 2 && !search.Spent()) {
        const std::size_t chunk = (frames.size() + parts - 1) / parts;
        bool removed = false;
        for (std::size_t start = 0; start < frames.size() && !search.Spent(); start += chunk) {
            Frames candidate(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(start));
            candidate.insert(candidate.end(),
                             frames.begin() +
                                 static_cast<std::ptrdiff_t>(std::min(start + chunk, frames.size())),
                             frames.end());
            if (search.Try(candidate)) {
                frames = std::move(candidate);
                parts = std::max<std::size_t>(parts - 1, 2);
                removed = true;
                break;
            }
        }
        if (removed)
            continue;
        if (chunk == 1)
            break;
        parts = std::min(parts * 2, frames.size());
    }
    return frames;
}

// The last frame's bytes cut, in halving runs, where the fault still comes.
Frames CutBytes(Frames frames, Search& search)
{
    for (std::size_t run = std::max<std::size_t>(frames.back().bytes.size() / 2, 1);
         run >= 1 && !search.Spent(); run /= 2) {
        for (std::size_t at = 0; at + run <= frames.back().bytes.size() && !search.Spent();) {
            Frames candidate = frames;
            Bytes& bytes = candidate.back().bytes;
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + run));
            if (!bytes.empty() && search.Try(candidate))
                frames = std::move(candidate);
            else
                at += run;
        }
        if (run == 1)
            break;
    }
    return frames;
}

} // namespace

Minimised Minimise(std::vector<FuzzFrame> frames, const Reproduces& reproduces, int maxTries)
{
    Search search(reproduces, maxTries);
    auto tail = BackSearch(frames, search);
    if (!tail)
        return {std::move(frames), false, search.Tries()};
    Frames best = DeltaDebug(std::move(*tail), search);
    best = CutBytes(std::move(best), search);
    // A flaky fault: the result is tried once more; when it fails, the one accepted before it, which has
    // not been tried since it reproduced, is what comes back.
    const int tries = search.Tries() + 1;
    if (reproduces(best))
        return {std::move(best), true, tries};
    auto& accepted = search.Accepted();
    if (accepted.size() >= 2)
        return {std::move(accepted[accepted.size() - 2]), true, tries};
    return {std::move(frames), false, tries};
}

} // namespace veltrano
