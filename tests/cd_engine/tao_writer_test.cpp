// The track-at-once pass over the MMC recorder class, seen at the transport:
// the command blocks a real drive gets through SG_IO (checked against MMC's
// layouts while the simulated recorder executes them), a transport limit
// smaller than the transfer size, padding to the announced length, and the
// failures: a producer overrunning its length, a producer error, the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "cd/engine/engine_error.h"
#include "cd/engine/tao_writer.h"
#include "platform/scsi/sim_drive.h"
#include "platform/scsi/sim_recorder.h"

using namespace tallory::cd::engine;
namespace ps = tallory::platform::scsi;

namespace {

// Passes commands to the simulated drive and keeps what was sent, with a
// transfer limit of its own as an SG queue has.
class RecordingTransport final : public ps::ScsiTransport {
public:
    struct Sent {
        std::vector<uint8_t> cdb;
        std::vector<uint8_t> data;  // host to device only
        uint32_t length = 0;
    };
    RecordingTransport(ps::ScsiTransport& inner, uint32_t limit) : inner_(inner), limit_(limit) {}
    ps::ScsiResult execute(const ps::ScsiCommand& c) override {
        Sent s{{c.cdb.begin(), c.cdb.end()}, {}, c.dataLength};
        if (c.direction == ps::DataDirection::ToDevice && c.data) s.data.assign(c.data, c.data + c.dataLength);
        sent.push_back(std::move(s));
        if (c.dataLength > limit_) {
            ps::ScsiResult r;
            r.transportError = 12;  // ENOMEM, as sg refuses it
            return r;
        }
        return inner_.execute(c);
    }
    uint32_t maxTransferLength() const override { return limit_; }
    ps::ScsiAddress address() const override { return {}; }
    std::string devicePath() const override { return "recording"; }
    std::vector<Sent> sent;

private:
    ps::ScsiTransport& inner_;
    uint32_t limit_;
};

ps::SimDriveIdentity recorder(bool underrun) {
    ps::SimDriveIdentity id;
    id.recorder = true;
    id.bufferUnderrunProtection = underrun;
    return id;
}

// A producer of `sectors` blocks numbered in their first bytes, announcing `announced`.
TaoProducer countingProducer(uint32_t announced, uint32_t sectors, uint32_t* first = nullptr) {
    TaoProducer p;
    p.layOut = [=](uint32_t firstSector, uint32_t) {
        if (first) *first = firstSector;
        return announced;
    };
    p.produce = [=](IsoSectorSink& sink) {
        std::vector<uint8_t> block(2048 * 7);
        for (uint32_t i = 0; i < sectors; i += 7) {
            const uint32_t n = std::min<uint32_t>(7, sectors - i);
            for (uint32_t k = 0; k < n; ++k) {
                const uint32_t number = i + k;
                std::memset(&block[k * 2048], 0xA5, 2048);
                std::memcpy(&block[k * 2048], &number, 4);
            }
            sink.writeSectors(block.data(), n);
        }
    };
    return p;
}

}  // namespace

TEST(TaoWriter, CommandBlocksAreThoseOfMmcAndRespectTheTransportLimit) {
    ps::SimulatedDrive drive(recorder(false));
    ps::SimulatedRecorder rec(drive, 2000);
    RecordingTransport sg(drive, 32768);  // 16 blocks a command
    MmcRecorderDrive mmc(sg);
    TaoOptions o;
    o.underrunProtection = true;  // asked for, but the drive has none
    std::vector<std::pair<int, uint32_t>> events;
    o.progress = [&](int e, uint32_t n) { events.emplace_back(e, n); };
    uint32_t first = 99;
    ASSERT_EQ(writeTrackAtOnce(mmc, countingProducer(320, 300, &first), o), 0);
    EXPECT_EQ(first, 0u);
    ASSERT_TRUE(rec.burnedDisc());
    EXPECT_EQ(rec.burnedDisc()->leadOutLba(), 320);

    int writes = 0;
    uint32_t next = 0;
    bool sawPage = false, sawTrackInfo = false, sawSync = false, closedTrack = false, closedSession = false;
    for (const auto& s : sg.sent) {
        const uint8_t op = s.cdb[0];
        if (op == 0x55) {
            // MODE SELECT(10), PF set, page 05h: track-at-once, no BUFE, data track, Mode 1 blocks, no multi-session.
            ASSERT_EQ(s.cdb[1] & 0x10, 0x10);
            ASSERT_GE(s.data.size(), 8u + 2 + 0x32);
            const uint8_t* p = &s.data[8];
            EXPECT_EQ(p[0] & 0x3F, 0x05);
            EXPECT_EQ(p[1], 0x32);
            EXPECT_EQ(p[2] & 0x0F, 1);
            EXPECT_EQ(p[2] & 0x40, 0);
            EXPECT_EQ(p[3] & 0x0F, 4);
            EXPECT_EQ(p[3] & 0xC0, 0);
            EXPECT_EQ(p[4] & 0x0F, 8);
            sawPage = true;
        } else if (op == 0x52) {
            EXPECT_TRUE(sawPage);
            EXPECT_EQ(s.cdb[1] & 0x03, 1);  // by track number
            EXPECT_EQ(s.cdb[5], 0xFF);      // the invisible track
            sawTrackInfo = true;
        } else if (op == 0x2A) {
            EXPECT_TRUE(sawTrackInfo);
            const uint32_t lba = (uint32_t(s.cdb[2]) << 24) | (s.cdb[3] << 16) | (s.cdb[4] << 8) | s.cdb[5];
            const uint32_t count = (s.cdb[7] << 8) | s.cdb[8];
            EXPECT_EQ(lba, next);
            EXPECT_LE(count, 16u);
            EXPECT_EQ(s.length, count * 2048);
            next += count;
            ++writes;
        } else if (op == 0x35) {
            EXPECT_EQ(next, 320u);
            sawSync = true;
        } else if (op == 0x5B) {
            EXPECT_TRUE(sawSync);
            if ((s.cdb[2] & 0x07) == 1) {
                EXPECT_EQ((s.cdb[4] << 8) | s.cdb[5], 1);
                closedTrack = true;
            } else {
                EXPECT_EQ(s.cdb[2] & 0x07, 2);
                EXPECT_TRUE(closedTrack);
                closedSession = true;
            }
        }
    }
    EXPECT_TRUE(closedSession);
    EXPECT_GE(writes, 320 / 16);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), std::make_pair(int(kEventDataTrackLength), 320u));
    EXPECT_EQ(events.back(), std::make_pair(int(kEventDataDone), 320u));

    // Blocks 0..299 carry their numbers, 300..319 are the zeros the pass added.
    std::string err;
    const auto user = rec.dataTrackUserData(1, &err);
    ASSERT_EQ(user.size(), 320u * 2048) << err;
    for (uint32_t i = 0; i < 320; ++i) {
        uint32_t v = 0;
        std::memcpy(&v, &user[i * 2048], 4);
        ASSERT_EQ(v, i < 300 ? i : 0u) << "block " << i;
    }
}

TEST(TaoWriter, FailuresEndThePassWithTheirCodeAndLeaveTheSessionOpen) {
    auto expectCode = [](auto&& fn, int32_t code) {
        try {
            fn();
            ADD_FAILURE() << "no failure";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), code) << e.what();
        }
    };
    {
        // More blocks than announced: a bugcheck before they reach the drive.
        ps::SimulatedDrive drive(recorder(true));
        ps::SimulatedRecorder rec(drive, 2000);
        MmcRecorderDrive mmc(drive);
        expectCode([&] { writeTrackAtOnce(mmc, countingProducer(300, 320), {}); }, kErrBugcheck);
        EXPECT_FALSE(rec.burnedDisc());
        EXPECT_LE(rec.nextWritableLba(), 300);
    }
    {
        // The producer fails: its error passes through, the track stays open.
        ps::SimulatedDrive drive(recorder(true));
        ps::SimulatedRecorder rec(drive, 2000);
        MmcRecorderDrive mmc(drive);
        TaoProducer p = countingProducer(400, 100);
        auto produce = p.produce;
        p.produce = [produce](IsoSectorSink& sink) {
            produce(sink);
            throw EngineError::make(kErrOpenFile, "/gone");
        };
        expectCode([&] { writeTrackAtOnce(mmc, p, {}); }, kErrOpenFile);
        EXPECT_FALSE(rec.burnedDisc());
    }
    {
        // The stop event: -100 after the write in progress.
        ps::SimulatedDrive drive(recorder(true));
        ps::SimulatedRecorder rec(drive, 2000);
        MmcRecorderDrive mmc(drive);
        std::atomic<bool> stop{false};
        TaoOptions o;
        o.stop = &stop;
        o.transferBytes = 2048 * 5;
        TaoProducer p = countingProducer(400, 400);
        auto produce = p.produce;
        p.produce = [&](IsoSectorSink& sink) {
            stop = true;
            produce(sink);
        };
        expectCode([&] { writeTrackAtOnce(mmc, p, o); }, kErrUserAbort);
        EXPECT_EQ(rec.nextWritableLba(), 5);
        EXPECT_FALSE(rec.burnedDisc());
    }
    {
        // A layout larger than the free blocks: -128 before any write.
        ps::SimulatedDrive drive(recorder(true));
        ps::SimulatedRecorder rec(drive, 200);
        MmcRecorderDrive mmc(drive);
        expectCode([&] { writeTrackAtOnce(mmc, countingProducer(201, 201), {}); }, kErrImageTooLarge);
        EXPECT_EQ(rec.writeCommands(), 0u);
    }
}
