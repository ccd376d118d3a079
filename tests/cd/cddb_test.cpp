// CDDB lookups against a fixture freedb-protocol server on 127.0.0.1 that
// the test starts, and the xmcd texts checked against libcddb.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cddb/cddb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "cd/cddb/cddb_client.h"
#include "cd/cddb/xmcd.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "cd_test_support.h"
#include "platform/scsi/cue_image.h"
#include "platform/scsi/sim_drive.h"
#include "tallory/ref.h"
#include "tallory/tallory.h"

namespace ps = tallory::platform::scsi;
namespace es = tallory::cd::engine::scsi;
namespace cddb = tallory::cd::cddb;
using tallory::Ref;

namespace {

// Answers each request with handler(request); records the requests.
class FixtureServer {
public:
    explicit FixtureServer(std::function<std::string(const std::string&)> handler) : handler_(std::move(handler)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~FixtureServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard l(m_);
        return requests_;
    }

private:
    void serve() {
        // Bounded: a test makes a handful of requests.
        for (int i = 0; i < 32 && !stop_; ++i) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::string req;
            char buf[2048];
            for (;;) {
                const std::size_t head = req.find("\r\n\r\n");
                if (head != std::string::npos) {
                    const std::size_t cl = req.find("Content-Length: ");
                    const std::size_t need = cl == std::string::npos ? 0 : std::stoul(req.substr(cl + 16));
                    if (req.size() >= head + 4 + need) break;
                }
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                req.append(buf, std::size_t(n));
            }
            {
                std::lock_guard l(m_);
                requests_.push_back(req);
            }
            const std::string answer = handler_(req);
            if (answer != "<silent>") ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            else std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ::close(c);
        }
    }
    std::function<std::string(const std::string&)> handler_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> requests_;
};

class Callback final : public ICDDBCallback {
public:
    int chooseWith = 0;
    std::vector<std::string> statuses;
    std::vector<CDDBMatch> offered;
    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    void Reserved() override {}
    int ShowStatus(const char* text) override {
        std::lock_guard l(m);
        statuses.push_back(text);
        return 0;
    }
    int ChooseMatch(const CDDBMatch* matches, int count, int* index) override {
        offered.assign(matches, matches + count);
        *index = chooseWith;
        return chooseWith;
    }
    void Finished(bool success) override {
        std::lock_guard l(m);
        ok = success;
        done = true;
        cv.notify_all();
    }
    // Finished, and the operation's reference given back (the object lives
    // on the test's stack, so it must outlast the thread's Release).
    bool wait() {
        {
            std::unique_lock l(m);
            cv.wait_for(l, std::chrono::seconds(10), [&] { return done; });
            if (!done) return false;
        }
        for (int i = 0; i < 1000 && refs.load() != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return refs.load() == 1;
    }
    std::atomic<uint32_t> refs{1};
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
};

std::string http(const std::string& body) { return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body; }

const char* kRecord =
    "# xmcd\n#\n# Track frame offsets:\n#\t150\n#\t450\n#\n# Disc length: 8 seconds\n#\n"
    "# Revision: 3\n# Submitted via: fixture 1.0\n#\n"
    "DISCID=0a000802\nDTITLE=The Artist / The Album\nDYEAR=1987\nDGENRE=Ska\n"
    "TTITLE0=First part of a long \nTTITLE0=title joined\nTTITLE1=Back\\\\slash\\nnext\n"
    "EXTD=some\nEXTD= notes\nEXTT0=extra one\nEXTT1=\nPLAYORDER=\n";

class Cddb : public ::testing::Test {
protected:
    void SetUp() override {
        img_ = cdtest::makeImage({{300}, {300}});
        auto sim = std::make_shared<ps::SimulatedDrive>();
        sim->loadDisc(std::shared_ptr<ps::DiscModel>(ps::loadCueImage(img_.cuePath).disc));
        es::setDeviceProvider([sim] { return std::vector<es::FoundTransport>{{sim, ""}}; });
        ASSERT_EQ(CreateAudioCDDevices(drives_.out()), S_OK);
        ASSERT_EQ(drives_->GetDrive(0, drive_.out()), S_OK);
        ASSERT_EQ(drive_->RefreshTOC(), S_OK);
        PutProfileString("AudioCD", "CDDB_Server", "127.0.0.1");
        PutProfileInt("AudioCD", "CDDB_UseProxy", 0);
        PutProfileInt("AudioCD", "CDDB_TimeoutMs", 3000);
    }
    void TearDown() override {
        drive_ = Ref<ICDDrive>();
        drives_ = Ref<ICDDrives>();
        es::setDeviceProvider({});
    }
    std::string text(bool (ICDDrive::*get)(char*, int)) {
        char buf[512] = "";
        ((*drive_).*get)(buf, sizeof buf);
        return buf;
    }
    std::string trackTitle(int i) {
        char buf[512] = "";
        drive_->GetTrackTitle(i, buf, sizeof buf);
        return buf;
    }
    cdtest::Image img_;
    Ref<ICDDrives> drives_;
    Ref<ICDDrive> drive_;
};

}  // namespace

TEST_F(Cddb, OneMatchFillsTheDiscTexts) {
    FixtureServer server([](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos) return http("200 misc 0a000802 The Artist / The Album\r\n");
        return http(std::string("210 misc 0a000802\r\n") + kRecord + ".\r\n");
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    Callback cb;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(drive_->LookupCDDB(&cb), S_OK);
    ASSERT_TRUE(cb.wait());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("lookup to Finished: %lld ms\n", static_cast<long long>(ms));
    EXPECT_TRUE(cb.ok);
    EXPECT_EQ(text(&ICDDrive::GetTitle), "The Album");
    EXPECT_EQ(text(&ICDDrive::GetArtist), "The Artist");
    EXPECT_EQ(text(&ICDDrive::GetGenre), "Ska");
    EXPECT_EQ(text(&ICDDrive::GetCategory), "misc");
    int year = 0;
    drive_->GetYear(&year);
    EXPECT_EQ(year, 1987);
    EXPECT_EQ(trackTitle(0), "First part of a long title joined");
    EXPECT_EQ(trackTitle(1), "Back\\slash\nnext");
    char extra[64];
    drive_->GetTrackExtra(0, extra, sizeof extra);
    EXPECT_STREQ(extra, "extra one");
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    char id[16];
    std::snprintf(id, sizeof id, "%08x", drive_->GetDiscId());
    EXPECT_EQ(reqs[0].compare(0, 28, "POST /~cddb/cddb.cgi HTTP/1."), 0) << reqs[0];
    EXPECT_NE(reqs[0].find(std::string("cmd=cddb+query+") + id + "+2+150+450+10&hello=unknown+localhost+tallo+v4.5&proto=6"),
              std::string::npos)
        << reqs[0];
    EXPECT_NE(reqs[1].find("cmd=cddb+read+misc+0a000802&hello="), std::string::npos) << reqs[1];
    EXPECT_EQ(cb.refs.load(), 1u);  // the thread gave its reference back
}

TEST_F(Cddb, ThreeMatchesAskTheCallback) {
    FixtureServer server([](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos)
            return http("211 Found inexact matches, list follows (until terminating `.')\r\n"
                        "rock 0a000802 A / One\r\njazz 0a000802 B / Two\r\nbroken line\r\nfolk 0a000802 C / Three\r\n.\r\n");
        return http(std::string("210 jazz 0a000802\r\nDTITLE=B / Two\r\nTTITLE0=x\r\n.\r\n"));
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    Callback cb;
    cb.chooseWith = 1;
    ASSERT_EQ(drive_->LookupCDDB(&cb), S_OK);
    ASSERT_TRUE(cb.wait());
    EXPECT_TRUE(cb.ok);
    ASSERT_EQ(cb.offered.size(), 3u);
    EXPECT_STREQ(cb.offered[2].category, "folk");
    EXPECT_EQ(uint32_t{cb.offered[0].exact}, 0u);
    EXPECT_EQ(text(&ICDDrive::GetCategory), "jazz");
    EXPECT_NE(server.requests().back().find("cddb+read+jazz+0a000802"), std::string::npos);
    // Cancelled choice: no texts, false.
    Callback cancel;
    cancel.chooseWith = -1;
    ASSERT_EQ(drive_->LookupCDDB(&cancel), S_OK);
    ASSERT_TRUE(cancel.wait());
    EXPECT_FALSE(cancel.ok);
}

TEST_F(Cddb, NoMatchServerDownSilentServerAndCutOffLists) {
    FixtureServer server([](const std::string& req) {
        if (req.find("cmd=cddb+query") == std::string::npos) return std::string("<silent>");
        static int n = 0;
        if (n++ == 0) return http("202 No match for disc ID 0a000802.\r\n");
        if (n == 2) return http("211 list\r\nrock 0a000802 A / One\r\n");  // no closing "."
        return std::string("<silent>");
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    for (int round = 0; round < 2; ++round) {
        Callback cb;
        ASSERT_EQ(drive_->LookupCDDB(&cb), S_OK);
        ASSERT_TRUE(cb.wait());
        EXPECT_FALSE(cb.ok);
        EXPECT_EQ(cb.statuses.back(), "No matches in CDDB database.");
    }
    // A server that accepts and never answers: the lookup ends by its timeout.
    PutProfileInt("AudioCD", "CDDB_TimeoutMs", 400);
    Callback silent;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(drive_->LookupCDDB(&silent), S_OK);
    // A second operation while the first runs is refused.
    Callback second;
    EXPECT_EQ(drive_->LookupCDDB(&second), E_PENDING);
    ASSERT_TRUE(silent.wait());
    EXPECT_FALSE(silent.ok);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // Nobody listening at all.
    const int port = server.port();
    PutProfileInt("AudioCD", "CDDB_Port", port == 65535 ? 1 : port + 1);
    Callback down;
    ASSERT_EQ(drive_->LookupCDDB(&down), S_OK);
    ASSERT_TRUE(down.wait());
    EXPECT_FALSE(down.ok);
}

TEST_F(Cddb, ThroughTheProxy) {
    FixtureServer proxy([](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos) return http("200 misc 0a000802 P / Q\r\n");
        return http("210 misc 0a000802\r\nDTITLE=P / Q\r\n.\r\n");
    });
    PutProfileString("AudioCD", "CDDB_Server", "cddb.invalid");
    PutProfileInt("AudioCD", "CDDB_UseProxy", 1);
    PutProfileString("AudioCD", "CDDB_ProxyAddress", "127.0.0.1");
    PutProfileInt("AudioCD", "CDDB_ProxyPort", proxy.port());
    Callback cb;
    ASSERT_EQ(drive_->LookupCDDB(&cb), S_OK);
    ASSERT_TRUE(cb.wait());
    EXPECT_TRUE(cb.ok);
    EXPECT_EQ(proxy.requests().at(0).compare(0, 45, "POST http://cddb.invalid/~cddb/cddb.cgi HTTP/"), 0);
}

TEST(Xmcd, WriterRoundTripsAndSplitsLongValuesBetweenEscapes) {
    const std::string title(300, 'a');
    std::string tricky = std::string(249, 'b') + "\\\\\\";  // escapes land on the chunk edge
    std::vector<cddb::XmcdEntry> entries = {{"", " xmcd"}, {"TTITLE0", title}, {"TTITLE1", tricky},
                                            {"DTITLE", "x\ny\tz\\w"}, {"EXTD", ""}};
    const std::string text = cddb::writeXmcd(entries);
    int ttitle0Lines = 0;
    std::size_t pos = 0;
    while ((pos = text.find("TTITLE0=", pos)) != std::string::npos) ++ttitle0Lines, ++pos;
    EXPECT_EQ(ttitle0Lines, 2);
    for (std::size_t a = 0, b; (b = text.find("\r\n", a)) != std::string::npos; a = b + 2) EXPECT_LE(b - a, 256u);
    EXPECT_NE(text.find("DTITLE=x\\ny\\tz\\\\w\r\n"), std::string::npos);
    const auto back = cddb::parseXmcd(text);
    EXPECT_EQ(*cddb::findValue(back, "ttitle0"), title);
    EXPECT_EQ(*cddb::findValue(back, "TTITLE1"), tricky);
    EXPECT_EQ(*cddb::findValue(back, "DTITLE"), "x\ny\tz\\w");
    EXPECT_EQ(*cddb::findValue(back, "EXTD"), "");
    EXPECT_EQ(back.front().key, "");
    CDDBMatch m{};
    EXPECT_TRUE(cddb::parseMatchLine("rock 12ab34cd Some One / A Title\r", m, true));
    EXPECT_STREQ(m.artist, "Some One");
    EXPECT_STREQ(m.title, "A Title");
    EXPECT_FALSE(cddb::parseMatchLine("rock 12ab34cd no slash", m, true));
    EXPECT_FALSE(cddb::parseMatchLine("averyveryverylongcategory 12ab34cd A / B", m, true));
    std::vector<CDDBMatch> ms;
    int status = 0;
    EXPECT_TRUE(cddb::parseQueryAnswer("210 exact\r\nrock 0a000802 A / B\r\n.\r\n", ms, &status));
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(uint32_t{ms[0].exact}, 1u);  // 210 lists exact matches
    std::string entry;
    EXPECT_FALSE(cddb::parseReadAnswer("210 rock 0a000802\r\nDTITLE=A / B\r\n", entry));  // cut off
    EXPECT_FALSE(cddb::parseReadAnswer("401 not found\r\n", entry));
}

TEST(Xmcd, ParsingAgreesWithLibcddb) {
    const std::string dir = cdtest::makeTempFolder("cddbcache");
    std::filesystem::create_directories(dir + "/misc");
    std::ofstream(dir + "/misc/0a000802") << kRecord;
    cddb_conn_t* conn = cddb_new();
    ASSERT_NE(conn, nullptr);
    cddb_cache_set_dir(conn, dir.c_str());
    cddb_cache_only(conn);
    cddb_disc_t* disc = cddb_disc_new();
    cddb_disc_set_category_str(disc, "misc");
    cddb_disc_set_discid(disc, 0x0a000802);
    ASSERT_EQ(cddb_read(conn, disc), 1) << cddb_error_str(cddb_errno(conn));
    const auto ours = cddb::parseXmcd(kRecord);
    auto str = [](const char* p) { return std::string(p != nullptr ? p : "<null>"); };
    auto escaped = [](const std::string& v) {
        std::string line = cddb::writeXmcd({{"K", v}});
        return line.substr(2, line.find("\r\n") - 2);
    };
    EXPECT_EQ(str(cddb_disc_get_artist(disc)) + " / " + str(cddb_disc_get_title(disc)), *cddb::findValue(ours, "DTITLE"));
    EXPECT_EQ(str(cddb_disc_get_genre(disc)), *cddb::findValue(ours, "DGENRE"));
    EXPECT_EQ(int(cddb_disc_get_year(disc)), std::stoi(*cddb::findValue(ours, "DYEAR")));
    EXPECT_EQ(str(cddb_disc_get_ext_data(disc)), *cddb::findValue(ours, "EXTD"));
    EXPECT_EQ(cddb_disc_get_track_count(disc), 2);
    for (int i = 0; i < cddb_disc_get_track_count(disc) && i < 2; ++i) {
        cddb_track_t* t = cddb_disc_get_track(disc, i);
        // libcddb keeps escapes as they stand; ours, escaped again, must be those bytes.
        EXPECT_EQ(str(cddb_track_get_title(t)), escaped(*cddb::findValue(ours, "TTITLE" + std::to_string(i))));
        const char* extra = cddb_track_get_ext_data(t);  // libcddb: null for an empty value
        EXPECT_EQ(std::string(extra != nullptr ? extra : ""), *cddb::findValue(ours, "EXTT" + std::to_string(i)));
    }
    cddb_disc_destroy(disc);
    cddb_destroy(conn);
    libcddb_shutdown();
    std::filesystem::remove_all(dir);
}
