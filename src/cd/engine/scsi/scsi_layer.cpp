#include "cd/engine/scsi/scsi_layer.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/scsi/sg_device.h"
#include "platform/scsi/sysfs_scan.h"

namespace tallory::cd::engine::scsi {

using platform::scsi::DataDirection;
using platform::scsi::ScsiCommand;
using platform::scsi::ScsiResult;
using platform::scsi::ScsiTransport;

namespace {

std::mutex providerMutex;
DeviceProvider provider;

// Drivers of ATAPI/IDE adapters: readers there are class 2.
constexpr const char* kAtapiAdapters[] = {
    "AGAATAPI", "AMDEIDE",  "ATAPI",    "ATAPI_CD", "ATDISK",   "BAYMGR",   "BMIDE",    "CPATAPI",
    "CSA64XX",  "CTQATAPI", "CX5530",   "EPATAP9X", "EPATAPNT", "ESDI_506", "ESDIO_506", "ETEQDSK",
    "FX001IDE", "IDE",      "IDEATAPI", "IMGATAPI", "INTELATA", "M5229",    "MKEATAPI", "NS87410",
    "PIIXDRV",  "PIIXIDE",  "PPA3NT",   "PTCDRUSB", "SBIDE",    "SIIG66",   "SISIDE",   "SISIDE3X",
    "SISIDE40", "TXHDD",    "TXIDE",    "TYNBMNT4", "UM8673",   "VIADSK",   "VIAIDE",
};

bool atapiAdapter(const std::string& name) {
    for (const char* n : kAtapiAdapters)
        if (strcasecmp(n, name.c_str()) == 0) return true;
    // Linux's libata hosts.
    return name == "ahci" || name.compare(0, 4, "ata_") == 0 || name.compare(0, 5, "pata_") == 0 ||
           name.compare(0, 5, "sata_") == 0;
}

// Read offsets as the public drive offset lists give them.
constexpr ModelQuirk kQuirks[] = {
    {"PLEXTOR", "CD-R   PX-W4012A", 98, true},
    {"PLEXTOR", "DVDR   PX-716A", 30, true},
    {"ASUS", "DRW-24B1ST", 6, false},
    {"HL-DT-ST", "BD-RE  WH14NS40", 6, false},
};

void copyStripped(char* out, std::size_t width, const uint8_t* in, std::size_t n) {
    // Leading and trailing bytes up to code 32 (blanks and controls) go.
    std::size_t b = 0, e = n;
    while (b < e && in[b] <= 32) ++b;
    while (e > b && in[e - 1] <= 32) --e;
    const std::size_t len = std::min(width, e - b);
    std::memcpy(out, in + b, len);
    out[len] = 0;
}

ScsiResult send(ScsiTransport& t, std::initializer_list<uint8_t> cdb, uint8_t* data, uint32_t length) {
    std::vector<uint8_t> c(cdb);
    ScsiCommand cmd;
    cmd.cdb = c;
    cmd.direction = DataDirection::FromDevice;
    cmd.data = data;
    cmd.dataLength = length;
    ScsiResult r;
    // A unit attention (reset, medium change) is retried a few times.
    for (int i = 0; i < 3; ++i) {
        r = t.execute(cmd);
        const auto s = platform::scsi::parseSense(r.senseBytes());
        if (!(r.status == platform::scsi::kStatusCheckCondition && s.valid && s.key == 6)) break;
    }
    return r;
}

std::vector<FoundTransport> systemDrives() {
    std::vector<FoundTransport> out;
    for (const auto& d : platform::scsi::scanSysfs()) {
        std::string error;
        auto dev = platform::scsi::SgDevice::open(d.node, d.address, &error);
        if (dev) out.push_back({std::shared_ptr<ScsiTransport>(std::move(dev)), d.adapter});
    }
    return out;
}

}  // namespace

void setDeviceProvider(DeviceProvider p) {
    std::lock_guard lock(providerMutex);
    provider = std::move(p);
}

DeviceProvider deviceProvider() {
    std::lock_guard lock(providerMutex);
    return provider;
}

const ModelQuirk* findQuirk(const char* vendor, const char* product) {
    for (const ModelQuirk& q : kQuirks)
        if (strcasecmp(q.vendor, vendor) == 0 && strncasecmp(q.productPrefix, product, std::strlen(q.productPrefix)) == 0)
            return &q;
    return nullptr;
}

bool classifyDevice(ScsiTransport& t, const std::string& adapterName, DeviceRecord& rec) {
    uint8_t inq[96] = {};
    ScsiResult r = send(t, {0x12, 0, 0, 0, 96, 0}, inq, sizeof inq);
    if (!r.good()) return false;
    // The additional length bounds what was sent; anything short of the
    // identification strings is not a device answer.
    const uint32_t got = std::min<uint32_t>(r.transferred(sizeof inq), 5u + inq[4]);
    if (got < 36) return false;
    if ((inq[0] >> 5) != 0) return false;  // nothing connected at this LUN
    const uint8_t type = inq[0] & 0x1F;
    rec = DeviceRecord{};
    copyStripped(rec.vendor, 8, inq + 8, 8);
    copyStripped(rec.product, 16, inq + 16, 16);
    copyStripped(rec.revision, 4, inq + 32, 4);
    const auto a = t.address();
    rec.hostAdapter = uint8_t(a.host);
    rec.target = uint8_t(a.target);
    rec.lun = uint8_t(a.lun);
    if (type == 0) {
        rec.peripheralType = kDeviceDisk;
        return true;
    }
    if (type == 8) {
        if (strcasecmp(rec.product, "DISC TRANSPORTER") != 0) return false;
        rec.peripheralType = kDeviceTransporter;
        rec.modelClass = 11;
        return true;
    }
    if (type != 4 && type != 5 && type != 31) return false;
    // What the drive says it does.
    bool writesCdr = false, dao = false, buf = false, cdText = false, cdda = type != 31;
    uint8_t conf[1024] = {};
    r = send(t, {0x46, 0x00, 0, 0, 0, 0, 0, uint8_t(sizeof conf >> 8), uint8_t(sizeof conf & 0xFF), 0}, conf, sizeof conf);
    if (r.good()) {
        const uint32_t n = std::min<uint32_t>(r.transferred(sizeof conf),
                                              4u + ((uint32_t(conf[0]) << 24) | (conf[1] << 16) | (conf[2] << 8) | conf[3]));
        for (uint32_t pos = 8; pos + 4 <= n;) {
            const uint16_t code = uint16_t((conf[pos] << 8) | conf[pos + 1]);
            const uint32_t len = conf[pos + 3];
            if (pos + 4 + len > n) break;
            const uint8_t* d = conf + pos + 4;
            if (code == 0x0000)
                for (uint32_t i = 0; i + 4 <= len; i += 4) {
                    const uint16_t profile = uint16_t((d[i] << 8) | d[i + 1]);
                    if (profile == 0x0009 || profile == 0x000A) writesCdr = true;
                }
            if (code == 0x001E) cdda = true;
            if (code == 0x002D && len >= 1) buf = buf || (d[0] & 0x40) != 0;
            if (code == 0x002E && len >= 1) {
                dao = (d[0] & 0x20) != 0;
                buf = buf || (d[0] & 0x40) != 0;
                cdText = (d[0] & 0x01) != 0;
            }
            pos += 4 + len;
        }
    }
    uint8_t page[64] = {};
    r = send(t, {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, sizeof page, 0}, page, sizeof page);
    const uint32_t pageBytes = r.good() ? r.transferred(sizeof page) : 0;
    bool accurateStream = false;
    if (pageBytes >= 8 + 22 && (page[8] & 0x3F) == 0x2A) {
        const uint8_t* p = page + 8 + ((page[6] << 8) | page[7]);
        if (p + 22 <= page + pageBytes) {
            writesCdr = writesCdr || (p[3] & 0x01) != 0;
            buf = buf || (p[4] & 0x80) != 0;
            cdda = cdda || (p[5] & 0x01) != 0;
            accurateStream = (p[5] & 0x02) != 0;
            rec.maxReadSpeedKBs = uint16_t((p[8] << 8) | p[9]);
            rec.maxWriteSpeedKBs = uint16_t((p[18] << 8) | p[19]);
        }
    }
    (void)accurateStream;  // drives claim it and still jitter: only the quirk table turns correction off
    rec.peripheralType = writesCdr ? kDeviceRecorder : kDeviceReader;
    rec.modelClass = writesCdr ? 3 : (atapiAdapter(adapterName) ? 2 : 1);
    rec.featureFlags = kFeatureJitterCorrection | (cdda ? kFeatureReadsCdda : 0) | (dao ? kFeatureWritesDao : 0) |
                       kFeatureDataReadCd;
    rec.capabilityFlags = (buf ? kCapabilityBufferUnderrun : 0) | (cdText ? kCapabilityCdText : 0);
    rec.maxSpeedIndex = rec.maxWriteSpeedKBs / 176;
    if (const ModelQuirk* q = findQuirk(rec.vendor, rec.product)) {
        rec.readOffset = q->readOffset;
        if (q->accurateStream) rec.featureFlags &= ~kFeatureJitterCorrection;
    }
    return true;
}

std::unique_ptr<ScsiLayer> ScsiLayer::start(uint32_t transferSize) {
    std::unique_ptr<ScsiLayer> layer(new ScsiLayer);
    // Below one sector nothing can be read; the transport caps the top.
    layer->transferSize_ = std::max<uint32_t>(transferSize, 2352);
    DeviceProvider p = deviceProvider();
    std::vector<FoundTransport> found = p ? p() : systemDrives();
    // Adapter order, then the order the source found them in.
    std::stable_sort(found.begin(), found.end(), [](const FoundTransport& a, const FoundTransport& b) {
        return a.transport && b.transport && a.transport->address().host < b.transport->address().host;
    });
    for (FoundTransport& f : found) {
        DeviceRecord rec;
        if (!f.transport || !classifyDevice(*f.transport, f.adapterName, rec)) continue;
        auto it = std::find_if(layer->adapters_.begin(), layer->adapters_.end(),
                               [&](const HostAdapter& h) { return h.number == rec.hostAdapter; });
        if (it == layer->adapters_.end()) {
            HostAdapter h;
            h.number = rec.hostAdapter;
            std::strncpy(h.adapterId, f.adapterName.c_str(), 16);
            layer->adapters_.push_back(h);
            it = layer->adapters_.end() - 1;
        }
        it->devices.push_back(rec);
        layer->devices_.push_back(std::make_shared<Device>(f.transport, rec, layer->transferSize_));
    }
    return layer;
}

ScsiLayer::~ScsiLayer() = default;

}  // namespace tallory::cd::engine::scsi
