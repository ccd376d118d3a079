// The engine's SCSI layer: message table, status mapping, classification and
// the checked table of contents.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "cd/engine/scsi/device.h"
#include "cd/engine/scsi/engine_error.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd/engine/scsi/status_map.h"
#include "cd_test_support.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"

using namespace tallory::cd::engine::scsi;
namespace ps = tallory::platform::scsi;

TEST(MessageTable, EveryRowHasTextAndArgumentsMatchTheConversions) {
    std::size_t count = 0;
    const MessageRow* rows = messageRows(&count);
    ASSERT_GT(count, 150u);
    std::set<int32_t> seen;
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_NE(std::string(rows[i].text), "") << rows[i].code;
        int conversions = 0;
        for (const char* p = rows[i].text; *p; ++p)
            if (*p == '%' && p[1] != '%') ++conversions;
        EXPECT_EQ(conversions, rows[i].argCount) << rows[i].text;
        seen.insert(rows[i].code);
    }
    for (int32_t code : {0, 1, -1, -16, -40, -49, -100, -105, -106, -120, -154, -220, -316, -426})
        EXPECT_TRUE(seen.count(code)) << code;
    EXPECT_STREQ(messageText(-120), "Unexpected jitter correction failure");
    EXPECT_STREQ(messageText(-16), "ASPI buffer is too big");
    EXPECT_STREQ(messageText(-9999), "");
}

TEST(EngineErrorTexts, MainAndDetailFormatting) {
    EngineError e(kErrCommandFailed, {1, 2, 0}, "READ TOC");
    e.withDetail(-40, {4, 0, 2, 3, 0x11, 0});
    EXPECT_EQ(e.mainText(), "'READ TOC' command failed on device 1:2:0");
    EXPECT_EQ(e.detailText(), "Read/Write error or bad medium detected (04h 00h 02h 03h 11h 00h)");
    EXPECT_EQ(e.record().detailArgCount, 6);
    EngineError abort(kErrUserAborted);
    EXPECT_EQ(abort.mainText(), "");
    EXPECT_EQ(abort.detailText(), "");
    EngineError three(-5, {1, 2, 3, 4, 5});  // a text with three values uses the first three
    EXPECT_EQ(three.mainText(), "ASPI request aborted (01h 02h 03h)");
    EXPECT_EQ(EngineError(-108, {}, "/tmp/a.wav").mainText(), "Unable to open file \"/tmp/a.wav\"");
    EXPECT_EQ(EngineError(kErrReadAudio, {10, 36, 0, 1, 0}).mainText(),
              "Unable to read AUDIO sectors 10 to 36 on device 0:1:0");
}

TEST(StatusMap, RequestAdapterTargetAndSense) {
    auto code = [](uint8_t req, uint8_t ha, uint8_t ts, uint8_t key = 0, bool eom = false) {
        RequestStatus s;
        s.request = req;
        s.adapter = ha;
        s.target = ts;
        s.sense.valid = true;
        s.sense.key = key;
        s.sense.endOfMedium = eom;
        return statusToCode(s);
    };
    EXPECT_EQ(code(1, 0, 0), 0);
    EXPECT_EQ(code(2, 0, 0), -5);
    EXPECT_EQ(code(3, 0, 0), -6);
    EXPECT_EQ(code(0x80, 0, 0), -7);
    EXPECT_EQ(code(0x81, 0, 0), -8);
    EXPECT_EQ(code(0x82, 0, 0), -9);
    for (int i = 0; i <= 9; ++i) EXPECT_EQ(code(uint8_t(0xE0 + i), 0, 0), -10 - i);
    EXPECT_EQ(code(0x55, 0, 0), -20);
    const std::pair<uint8_t, int> adapters[] = {{0x09, -24}, {0x0B, -25}, {0x0D, -26}, {0x0E, -27}, {0x0F, -28},
                                                {0x10, -29}, {0x11, -30}, {0x12, 0},   {0x13, -32}, {0x14, -33},
                                                {0x00, -20}, {0x77, -34}};
    for (auto [ha, c] : adapters) EXPECT_EQ(code(4, ha, 0), c) << int(ha);
    const std::pair<uint8_t, int> keys[] = {{1, 0},    {2, -39},  {3, -40},  {4, -41},  {5, -42}, {6, -43},
                                            {8, -44},  {9, -45},  {11, -46}, {13, -47}};
    for (auto [k, c] : keys) EXPECT_EQ(code(4, 0, 2, k), c) << int(k);
    // Keys the table does not name are failures, never success.
    for (uint8_t k : {0, 7, 10, 12, 14, 15}) EXPECT_EQ(code(4, 0, 2, k), -49) << int(k);
    EXPECT_EQ(code(4, 0, 2, 7, true), -48);
    EXPECT_EQ(code(4, 0, 8), -35);
    EXPECT_EQ(code(4, 0, 0x18), -36);
    EXPECT_EQ(code(4, 0, 0x28), -37);
    // From the transport's own report.
    ps::ScsiResult r;
    r.transportError = ENOMEM;
    EXPECT_EQ(statusToCode(requestStatusOf(r)), -16);
    r.transportError = ENODEV;
    EXPECT_EQ(statusToCode(requestStatusOf(r)), -9);
    r = {};
    r.hostStatus = ps::HostStatus::TimeOut;
    EXPECT_EQ(statusToCode(requestStatusOf(r)), -24);
    r = {};
    r.status = ps::kStatusCheckCondition;
    ps::buildFixedSense(r.sense.data(), 3, 0x11, 0);
    r.senseLength = 18;
    EXPECT_EQ(statusToCode(requestStatusOf(r)), -40);
}

TEST(Classification, ReadersRecordersAndNonDevices) {
    ps::SimDriveIdentity reader;
    reader.product = "  CD-ROM XYZ  ";
    ps::SimulatedDrive readerDrive(reader);
    DeviceRecord rec;
    ASSERT_TRUE(classifyDevice(readerDrive, "usb-storage", rec));
    EXPECT_EQ(rec.peripheralType, kDeviceReader);
    EXPECT_EQ(rec.modelClass, 1);
    EXPECT_STREQ(rec.product, "CD-ROM XYZ");
    EXPECT_STREQ(rec.vendor, "TALLORY");
    EXPECT_TRUE(rec.featureFlags & kFeatureJitterCorrection);  // an unknown drive corrects jitter
    ASSERT_TRUE(classifyDevice(readerDrive, "ahci", rec));
    EXPECT_EQ(rec.modelClass, 2);
    ASSERT_TRUE(classifyDevice(readerDrive, "VIAIDE", rec));
    EXPECT_EQ(rec.modelClass, 2);

    ps::SimDriveIdentity writer;
    writer.recorder = true;
    writer.bufferUnderrunProtection = true;
    writer.cdTextWriting = true;
    writer.maxWriteSpeedKBs = 176 * 48;
    ps::SimulatedDrive writerDrive(writer);
    ASSERT_TRUE(classifyDevice(writerDrive, "", rec));
    EXPECT_EQ(rec.peripheralType, kDeviceRecorder);
    EXPECT_TRUE(rec.featureFlags & kFeatureWritesDao);
    EXPECT_EQ(rec.capabilityFlags, kCapabilityBufferUnderrun | kCapabilityCdText);
    EXPECT_EQ(rec.maxSpeedIndex, 48);

    ps::SimDriveIdentity ghost;
    ghost.peripheralQualifier = 3;  // no device at this LUN
    ps::SimulatedDrive ghostDrive(ghost);
    EXPECT_FALSE(classifyDevice(ghostDrive, "", rec));
    ps::SimDriveIdentity tape;
    tape.peripheralType = 1;
    ps::SimulatedDrive tapeDrive(tape);
    EXPECT_FALSE(classifyDevice(tapeDrive, "", rec));

    ps::SimDriveIdentity plex;
    plex.vendor = "PLEXTOR";
    plex.product = "CD-R   PX-W4012A";
    ps::SimulatedDrive plexDrive(plex);
    ASSERT_TRUE(classifyDevice(plexDrive, "", rec));
    EXPECT_EQ(rec.readOffset, 98);
    EXPECT_FALSE(rec.featureFlags & kFeatureJitterCorrection);
}

TEST(ScsiLayerStart, ScansTheProvidedDevicesInAdapterOrder) {
    auto make = [](uint32_t host, const char* product, uint8_t qualifier = 0) {
        ps::SimDriveIdentity id;
        id.address.host = host;
        id.product = product;
        id.peripheralQualifier = qualifier;
        return std::make_shared<ps::SimulatedDrive>(id);
    };
    setDeviceProvider([&] {
        return std::vector<FoundTransport>{{make(2, "B"), ""}, {make(1, "A"), ""}, {make(1, "GHOST", 1), ""}};
    });
    auto layer = ScsiLayer::start(65000);
    setDeviceProvider({});
    ASSERT_EQ(layer->devices().size(), 2u);
    EXPECT_STREQ(layer->devices()[0]->record().product, "A");
    EXPECT_STREQ(layer->devices()[1]->record().product, "B");
    EXPECT_EQ(layer->adapters().size(), 2u);
}

TEST(DeviceCommands, TooLargeTransfersAndFailedCommands) {
    ps::SimDriveIdentity id;
    id.maxTransferBytes = 16 * 2352;
    auto drive = std::make_shared<ps::SimulatedDrive>(id);
    auto img = cdtest::makeImage({{100}});
    drive->loadDisc(std::shared_ptr<ps::DiscModel>(ps::loadCueImage(img.cuePath).disc));
    DeviceRecord rec;
    ASSERT_TRUE(classifyDevice(*drive, "", rec));
    Device dev(drive, rec, 27 * 2352);
    std::vector<uint8_t> buf(27 * 2352);
    uint32_t detail[6];
    // Larger than the adapter allows: -16 "ASPI buffer is too big".
    EXPECT_EQ(dev.readAudio(0, 27, buf.data(), detail), kErrBufferTooBig);
    // Unit attentions after the load are retried away; the read works.
    EXPECT_EQ(dev.readAudio(0, 16, buf.data(), detail), 0);
    EXPECT_EQ(dev.readAudio(90, 16, buf.data(), detail), kErrIllegalRequest);
    EXPECT_EQ(detail[3], 5u);
    EXPECT_EQ(detail[4], 0x21u);
    try {
        dev.setSpeed(-1);
        drive->ejectDisc();
        uint8_t toc[804];
        uint32_t len = 0;
        dev.readToc(toc, sizeof toc, &len);
        FAIL() << "READ TOC without a disc succeeded";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrCommandFailed);
        EXPECT_EQ(e.detailCode(), kErrNotReady);
        EXPECT_EQ(e.mainText(), "'READ TOC' command failed on device 0:0:0");
        EXPECT_EQ(e.detailText(), "Device contains no disc or is not ready (04h 00h 02h 02h 3Ah 02h)");
    }
}

TEST(TocParsing, RefusesTablesThatCannotBeTrusted) {
    auto toc = [](int first, int last, std::vector<std::pair<int, int>> entries, int declared = -1) {
        std::vector<uint8_t> d(4);
        d[2] = uint8_t(first);
        d[3] = uint8_t(last);
        for (auto [t, lba] : entries) {
            uint8_t e[8] = {0, 0x10, uint8_t(t), 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba)};
            d.insert(d.end(), e, e + 8);
        }
        const int len = declared >= 0 ? declared : int(d.size()) - 2;
        d[0] = uint8_t(len >> 8);
        d[1] = uint8_t(len);
        return d;
    };
    std::vector<TocEntry> entries;
    int f = 0, l = 0;
    std::string why;
    EXPECT_TRUE(parseToc(toc(1, 2, {{1, 0}, {2, 100}, {0xAA, 200}}), entries, &f, &l, &why)) << why;
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_FALSE(parseToc(toc(0, 2, {{1, 0}, {2, 100}, {0xAA, 200}}), entries, &f, &l, &why));
    EXPECT_FALSE(parseToc(toc(3, 2, {{1, 0}, {0xAA, 200}}), entries, &f, &l, &why));
    EXPECT_FALSE(parseToc(toc(1, 100, {{1, 0}, {0xAA, 200}}), entries, &f, &l, &why));
    EXPECT_FALSE(parseToc(toc(1, 2, {{1, 0}, {2, 0}, {0xAA, 200}}), entries, &f, &l, &why));  // not increasing
    EXPECT_FALSE(parseToc(toc(1, 2, {{1, 0}, {2, 100}}), entries, &f, &l, &why));             // no lead-out
    EXPECT_FALSE(parseToc(toc(1, 2, {{1, 0}, {2, 100}, {0xAA, 200}}, 18), entries, &f, &l, &why));  // length cuts it
    EXPECT_FALSE(parseToc(toc(1, 3, {{1, 0}, {2, 100}, {0xAA, 200}}), entries, &f, &l, &why));  // track missing
    auto big = toc(1, 2, {{1, 0}, {2, 100}, {0xAA, 200}}, 9000);  // a length past the buffer
    EXPECT_TRUE(parseToc(big, entries, &f, &l, &why)) << why;
    big.resize(20);
    EXPECT_FALSE(parseToc(big, entries, &f, &l, &why));
}
