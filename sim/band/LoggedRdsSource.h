// A recorded group log played back as a station's RDS, in a loop, one logged
// group per group slot from the start of the run: logged group i goes out in
// slot i, whether the receiver hears it or not. A block the recorder lost
// ("----") arrives as an uncorrectable block holding arbitrary bits, as a
// receiver would report it.
#pragma once

#include "sim/band/RdsLog.h"
#include "sim/band/RdsSource.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <memory>

namespace sim {

inline constexpr std::uint8_t kUncorrectableBlock = 3;

class LoggedRdsSource final : public RdsSource {
public:
    // The log must hold at least one group. `seed` draws the lost blocks' bits.
    LoggedRdsSource(std::shared_ptr<const band::RdsLog> log, std::uint64_t seed);

    const band::RdsLog& log() const { return *log_; }
    std::size_t position() const { return position_; }  // index of the next group
    std::uint64_t loops() const { return loops_; }      // times the log has come round
    std::uint64_t sent() const { return sent_; }        // groups taken by a receiver
    // Groups of the log's first time through that went by unheard.
    std::uint64_t unheardFirstTime() const { return unheardFirstTime_; }

    // The PI the log carries: block A of its first group that has one, 0 if none.
    static std::uint16_t firstPi(const band::RdsLog& log);

protected:
    RdsGroup produce(std::uint64_t slot) override;
    void pass(std::uint64_t first, std::uint64_t count) override;

private:
    void advance(std::uint64_t count);

    std::shared_ptr<const band::RdsLog> log_;
    Random random_;
    std::size_t position_ = 0;
    std::uint64_t loops_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t unheardFirstTime_ = 0;
};

}  // namespace sim
