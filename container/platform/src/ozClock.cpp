/*
 * ozClock.cpp - the system tick clock: rate, tick count, tick conversions and
 * the speed-up test seam.
 *
 * The clock runs at 100 ticks per second of the monotonic clock, multiplied by
 * the speed-up factor. A change of the factor keeps the tick count continuous.
 */
#include "ozPlatformInt.h"

#include <atomic>
#include <cstdlib>

namespace {

constexpr int kTicksPerSecond = 100;

struct ClockState {
    std::mutex lock;
    oz::Clock::time_point baseTime = oz::Clock::now();
    double baseTicks = 0.0; /* ticks at baseTime */
    std::atomic<unsigned> speedup{1};

    ClockState()
    {
        const char *env = std::getenv("OZ_CLOCK_SPEEDUP");
        if (env != nullptr && *env != '\0') {
            char *end = nullptr;
            unsigned long v = std::strtoul(env, &end, 10);
            if (end != nullptr && *end == '\0' && v >= 1 && v <= 1000000)
                speedup = static_cast<unsigned>(v);
        }
    }

    double ticksAt(oz::Clock::time_point now) const
    {
        std::chrono::duration<double> elapsed = now - baseTime;
        return baseTicks + elapsed.count() * kTicksPerSecond * speedup.load();
    }
};

ClockState &clockState()
{
    static ClockState state;
    return state;
}

} // namespace

namespace oz {

Clock::duration ticksToDuration(int64_t ticks)
{
    if (ticks <= 0)
        return Clock::duration::zero();
    double secs = static_cast<double>(ticks) / (static_cast<double>(kTicksPerSecond) * clockState().speedup.load());
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secs));
}

std::optional<Clock::time_point> ticksDeadline(int ticks)
{
    if (ticks == WAIT_FOREVER)
        return std::nullopt;
    return Clock::now() + ticksToDuration(ticks);
}

} // namespace oz

int sysClkRateGet(void)
{
    return kTicksPerSecond;
}

uint64_t tickGet(void)
{
    ClockState &c = clockState();
    std::lock_guard<std::mutex> g(c.lock);
    return static_cast<uint64_t>(c.ticksAt(oz::Clock::now()));
}

void ozClockSpeedupSet(unsigned factor)
{
    if (factor == 0)
        factor = 1;
    ClockState &c = clockState();
    std::lock_guard<std::mutex> g(c.lock);
    oz::Clock::time_point now = oz::Clock::now();
    c.baseTicks = c.ticksAt(now);
    c.baseTime = now;
    c.speedup = factor;
}

unsigned ozClockSpeedupGet(void)
{
    return clockState().speedup.load();
}
