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
#include <map>
#include <functional>
#include <mutex>
#include <thread>

#include "cd/cddb/cddb_client.h"
#include "cd/cddb/local_cache.h"
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
    int revisionAnswer = 0;
    int ShowStatus(const char* text) override {
        std::lock_guard l(m);
        statuses.push_back(text);
        return std::string(text) == "REVISION" ? revisionAnswer : 0;
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
        // Every case starts without a local cache (an earlier case's drive stored its texts).
        std::filesystem::remove(cddb::cacheFilePath());
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

// The body of a captured request (after its blank line).
std::string requestBody(const std::string& req) {
    const std::size_t head = req.find("\r\n\r\n");
    return head == std::string::npos ? "" : req.substr(head + 4);
}

TEST_F(Cddb, SubmissionCarriesHeadersCommentsAndSplitsLongTitles) {
    const std::string longTitle = std::string(150, 'x') + "\xc3\xa9" + std::string(148, 'y');  // 300 bytes, UTF-8
    ASSERT_EQ(longTitle.size(), 300u);
    FixtureServer server([](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos)
            return http("211 list\r\njazz 0a000802 Old / Entry\r\nrock 0a000802 Old / Entry\r\n.\r\n");
        if (req.find("cmd=cddb+read+rock") != std::string::npos)
            return http("210 rock 0a000802\r\n# xmcd\r\n#\r\n# revision: 7\r\nDTITLE=Old / Entry\r\n"
                        "EXTD=kept notes\r\nPLAYORDER=2,1\r\n.\r\n");
        if (req.compare(0, 22, "POST /~cddb/submit.cgi") == 0) return http("200 OK, submission has been sent.\r\n");
        return http("500 unexpected\r\n");
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    PutProfileString("AudioCD", "CDDB_EMailAddress", "someone@example.org");
    drive_->SetArtist("An Artist");
    drive_->SetTitle("A Title");
    drive_->SetCategory("Rock");
    drive_->SetGenre("Ska");
    drive_->SetYear(1999);
    drive_->SetTrackTitle(0, longTitle.c_str());
    drive_->SetTrackTitle(1, "Two\nlines");
    drive_->SetTrackExtra(1, "an extra");
    Callback cb;
    ASSERT_EQ(drive_->SubmitCDDB(&cb), S_OK);
    ASSERT_TRUE(cb.wait());
    EXPECT_TRUE(cb.ok);  // "200" is success
    EXPECT_EQ(cb.statuses.back(), "Submission succeeded");
    EXPECT_NE(std::find(cb.statuses.begin(), cb.statuses.end(), "REVISION"), cb.statuses.end());
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3u);  // query, read of the rock entry, submission
    EXPECT_NE(reqs[1].find("cmd=cddb+read+rock+0a000802"), std::string::npos);
    const std::string& sub = reqs[2];
    char id[16];
    std::snprintf(id, sizeof id, "%08x", drive_->GetDiscId());
    for (const std::string& h : std::vector<std::string>{"POST /~cddb/submit.cgi HTTP/1.0\r\n", "\r\nUser-Agent: Tallory\r\n",
                                "\r\nSubmit-Mode: submit\r\n", "\r\nCategory: Rock\r\n",
                                std::string("\r\nDiscid: ") + id + "\r\n", "\r\nUser-Email: someone@example.org\r\n",
                                "\r\nX-Cddbd-Note: Tallory Support <", "\r\nCharset: UTF-8\r\n"})
        EXPECT_NE(sub.find(h), std::string::npos) << h;
    const std::string body = requestBody(sub);
    const std::size_t cl = sub.find("Content-Length: ");
    ASSERT_NE(cl, std::string::npos);
    EXPECT_EQ(std::stoul(sub.substr(cl + 16)), body.size());
    EXPECT_EQ(body.compare(0, 29, "# xmcd\r\n#\r\n# Track frame offs"), 0) << body;
    EXPECT_NE(body.find("#\t150\r\n#\t450\r\n#\r\n# Disc length: 10 seconds\r\n#\r\n# Revision: 8\r\n"
                        "# Submitted via: Tallory v4.5 "),
              std::string::npos)
        << body;
    EXPECT_NE(body.find(std::string("DISCID=") + id + "\r\nDTITLE=An Artist / A Title\r\nDYEAR=1999\r\nDGENRE=Ska\r\n"),
              std::string::npos);
    EXPECT_NE(body.find("EXTD=kept notes\r\n"), std::string::npos);
    EXPECT_NE(body.find("PLAYORDER=2,1\r\n"), std::string::npos);
    EXPECT_NE(body.find("TTITLE1=Two\\nlines\r\n"), std::string::npos);
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = body.find("TTITLE0=", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, 2u);
    const auto back = cddb::parseXmcd(body);
    EXPECT_EQ(*cddb::findValue(back, "TTITLE0"), longTitle);
    EXPECT_EQ(*cddb::findValue(back, "EXTT1"), "an extra");
    EXPECT_EQ(*cddb::findValue(back, "EXTT0"), "");
    // libcddb reads the submitted text with the long title joined too.
    const std::string dir = cdtest::makeTempFolder("cddbsub");
    std::filesystem::create_directories(dir + "/rock");
    std::ofstream(dir + "/rock/" + id) << body;
    cddb_conn_t* conn = cddb_new();
    cddb_cache_set_dir(conn, dir.c_str());
    cddb_cache_only(conn);
    cddb_disc_t* disc = cddb_disc_new();
    cddb_disc_set_category_str(disc, "rock");
    cddb_disc_set_discid(disc, drive_->GetDiscId());
    ASSERT_EQ(cddb_read(conn, disc), 1) << cddb_error_str(cddb_errno(conn));
    EXPECT_STREQ(cddb_disc_get_artist(disc), "An Artist");
    EXPECT_EQ(int(cddb_disc_get_year(disc)), 1999);
    ASSERT_EQ(cddb_disc_get_track_count(disc), 2);
    EXPECT_EQ(std::string(cddb_track_get_title(cddb_disc_get_track(disc, 0))), longTitle);
    EXPECT_EQ(int(cddb_disc_get_length(disc)), 10);
    cddb_disc_destroy(disc);
    cddb_destroy(conn);
    std::filesystem::remove_all(dir);
    // Declining the revision ends the submission before anything is sent.
    Callback declined;
    declined.revisionAnswer = -1;
    ASSERT_EQ(drive_->SubmitCDDB(&declined), S_OK);
    ASSERT_TRUE(declined.wait());
    EXPECT_EQ(server.requests().size(), 4u);  // only the query
    EXPECT_EQ(std::find(declined.statuses.begin(), declined.statuses.end(), "Submitting to CDDB Server..."),
              declined.statuses.end());
}

TEST_F(Cddb, SubmissionFailuresAndABusyDrive) {
    std::atomic<int> code{0};
    FixtureServer server([&](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos) {
            if (code == 1) return std::string("<silent>");
            return http("202 No match\r\n");
        }
        return http("501 Missing or illegal e-mail address\r\n");
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    drive_->SetCategory("misc");
    // No sender address: failed, and nothing is submitted.
    PutProfileString("AudioCD", "CDDB_EMailAddress", "");
    Callback noMail;
    ASSERT_EQ(drive_->SubmitCDDB(&noMail), S_OK);
    ASSERT_TRUE(noMail.wait());
    EXPECT_FALSE(noMail.ok);
    EXPECT_EQ(noMail.statuses.back(), "Submission failed");
    for (const auto& r : server.requests()) EXPECT_EQ(r.find("submit.cgi"), std::string::npos);
    // An address or a category that would add header lines: failed, nothing sent.
    PutProfileString("AudioCD", "CDDB_EMailAddress", "a@b.example\r\nX-Injected: 1");
    Callback injected;
    ASSERT_EQ(drive_->SubmitCDDB(&injected), S_OK);
    ASSERT_TRUE(injected.wait());
    EXPECT_EQ(injected.statuses.back(), "Submission failed");
    PutProfileString("AudioCD", "CDDB_EMailAddress", "a@b.example");
    drive_->SetCategory("misc\nX: 1");
    Callback badCategory;
    ASSERT_EQ(drive_->SubmitCDDB(&badCategory), S_OK);
    ASSERT_TRUE(badCategory.wait());
    EXPECT_EQ(badCategory.statuses.back(), "Submission failed");
    for (const auto& r : server.requests()) EXPECT_EQ(r.find("submit.cgi"), std::string::npos);
    drive_->SetCategory("misc");
    // A server that refuses: failed.
    PutProfileString("AudioCD", "CDDB_EMailAddress", "a@b.example");
    Callback refused;
    ASSERT_EQ(drive_->SubmitCDDB(&refused), S_OK);
    ASSERT_TRUE(refused.wait());
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.statuses.back(), "Submission failed");
    EXPECT_EQ(server.requests().back().compare(0, 22, "POST /~cddb/submit.cgi"), 0);
    // While one operation waits on a silent server, a second submit or lookup is refused.
    code = 1;
    PutProfileInt("AudioCD", "CDDB_TimeoutMs", 400);
    Callback slow, second, third;
    ASSERT_EQ(drive_->SubmitCDDB(&slow), S_OK);
    EXPECT_EQ(drive_->SubmitCDDB(&second), E_PENDING);
    EXPECT_EQ(drive_->LookupCDDB(&third), E_PENDING);
    EXPECT_EQ(drive_->SubmitCDDB(nullptr), E_INVALIDARG);
    ASSERT_TRUE(slow.wait());
    EXPECT_EQ(second.refs.load(), 1u);
}

// The cache file's sections, read independently of the cache code's own reader.
std::map<std::string, std::map<std::string, std::string>> rawIni(const std::string& path) {
    std::map<std::string, std::map<std::string, std::string>> out;
    std::ifstream f(path);
    std::string line, section;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '[') section = line.substr(1, line.find(']') - 1);
        else out[section][line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return out;
}

TEST_F(Cddb, LocalCacheStoresEditedTextsAndAnswersAloneOrMerged) {
    const std::vector<CDTrackRecord> none;
    char serial[16];
    {
        int count = 0;
        drive_->GetTrackCount(&count);
        ASSERT_EQ(count, 2);
    }
    // The serial of the first audio track names the section.
    Ref<ICDTrack> track;
    ASSERT_EQ(drive_->OpenTrack(0, track.out()), S_OK);
    CDTrackRecord rec{};
    track->GetTrackRecord(&rec);
    track = Ref<ICDTrack>();
    std::snprintf(serial, sizeof serial, "%X", rec.discSerial);
    const std::string evil = "Evil\n[X]\nNumTracks=0\r\nArtist=Injected";
    drive_->SetArtist("Cached Artist");
    drive_->SetTitle(evil.c_str());
    drive_->SetCategory("folk");
    drive_->SetGenre("Folk Rock");
    drive_->SetYear(1971);
    drive_->SetTrackTitle(0, "Opening \\ tune\ttabbed");
    drive_->SetTrackExtra(1, "second extra");
    // A new table drops the edited texts into the cache.
    ASSERT_EQ(drive_->RefreshTOC(), S_OK);
    const std::string path = cddb::cacheFilePath();
    const auto ini = rawIni(path);
    ASSERT_EQ(ini.size(), 1u) << "a title's line breaks added a section";
    const auto& keys = ini.at(serial);
    EXPECT_EQ(keys.at("EntryType"), "1");
    EXPECT_EQ(keys.at("Artist"), "Cached Artist");
    EXPECT_EQ(keys.at("NumTracks"), "2");
    EXPECT_EQ(keys.at("Genre"), "folk");
    EXPECT_EQ(keys.at("ID3Genre"), "Folk Rock");
    EXPECT_EQ(keys.at("Year"), "1971");
    EXPECT_EQ(keys.at("1"), "Track 2");
    EXPECT_EQ(keys.at("Ext1"), "second extra");
    EXPECT_EQ(keys.size(), 11u);
    // Nothing but the file (and its lock) is left in the folder: the new file was renamed over.
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "cdplayer.ini" || name == "cdplayer.ini.lock" || name.find("settings") == 0) << name;
    }
    EXPECT_EQ(drive_->RefreshTOC(), S_OK);  // not modified: the file stays as it is
    EXPECT_EQ(rawIni(path), ini);
    {
        // A file too large to read whole is never replaced by a part of it.
        const std::string big = cdtest::makeTempFolder("bigcache");
        setenv("XDG_CONFIG_HOME", big.c_str(), 1);
        std::filesystem::create_directories(big + "/Veshna/Tallory");
        std::ofstream(big + "/Veshna/Tallory/cdplayer.ini") << "[1]\r\n";
        std::filesystem::resize_file(big + "/Veshna/Tallory/cdplayer.ini", 17u << 20);
        cddb::IniSection s{"1", {{"k", "v"}}};
        std::string why;
        EXPECT_FALSE(cddb::storeCacheSection(s, &why));
        EXPECT_EQ(std::filesystem::file_size(big + "/Veshna/Tallory/cdplayer.ini"), 17u << 20);
        setenv("XDG_CONFIG_HOME", std::filesystem::path(path).parent_path().parent_path().parent_path().c_str(), 1);
        std::filesystem::remove_all(big);
        ASSERT_EQ(cddb::cacheFilePath(), path);
    }

    // The server is down: the cache answers alone.
    PutProfileInt("AudioCD", "CDDB_Port", 1);
    Callback alone;
    ASSERT_EQ(drive_->LookupCDDB(&alone), S_OK);
    ASSERT_TRUE(alone.wait());
    EXPECT_TRUE(alone.ok);
    EXPECT_TRUE(alone.offered.empty());
    EXPECT_EQ(text(&ICDDrive::GetArtist), "Cached Artist");
    EXPECT_EQ(text(&ICDDrive::GetTitle), evil.substr(0, 80));
    EXPECT_EQ(text(&ICDDrive::GetCategory), "folk");
    EXPECT_EQ(text(&ICDDrive::GetGenre), "Folk Rock");
    int year = 0;
    drive_->GetYear(&year);
    EXPECT_EQ(year, 1971);
    EXPECT_EQ(trackTitle(0), "Opening \\ tune\ttabbed");
    EXPECT_EQ(trackTitle(1), "Track 2");
    char extra[64] = "";
    drive_->GetTrackExtra(1, extra, sizeof extra);
    EXPECT_STREQ(extra, "second extra");

    // A server match equal to the cache's shows once; a different one beside it.
    char id[16];
    std::snprintf(id, sizeof id, "%08x", drive_->GetDiscId());
    std::string serverLine;
    FixtureServer server([&](const std::string& req) {
        if (req.find("cmd=cddb+query") != std::string::npos) return http("200 " + serverLine + "\r\n");
        return http("210 folk " + std::string(id) + "\r\nDTITLE=x / y\r\nTTITLE0=From the server\r\n.\r\n");
    });
    PutProfileInt("AudioCD", "CDDB_Port", server.port());
    // The title with its line break cannot arrive in a one-line answer; give the cache a plain one.
    drive_->SetTitle("Plain Title");
    ASSERT_EQ(drive_->RefreshTOC(), S_OK);
    serverLine = std::string("folk ") + id + " Cached Artist / Plain Title";
    Callback merged;
    ASSERT_EQ(drive_->LookupCDDB(&merged), S_OK);
    ASSERT_TRUE(merged.wait());
    EXPECT_TRUE(merged.ok);
    EXPECT_TRUE(merged.offered.empty());  // one match, no choice
    EXPECT_EQ(trackTitle(0), "From the server");
    serverLine = std::string("rock ") + id + " Someone / Else";
    Callback both;
    both.chooseWith = 1;
    ASSERT_EQ(drive_->LookupCDDB(&both), S_OK);
    ASSERT_TRUE(both.wait());
    ASSERT_EQ(both.offered.size(), 2u);
    EXPECT_EQ(uint32_t{both.offered[1].cacheSection}, rec.discSerial);
    EXPECT_EQ(uint32_t{both.offered[0].cacheSection}, 0u);
    EXPECT_EQ(uint32_t{both.offered[1].exact}, 1u);
    EXPECT_EQ(server.requests().size(), 3u);  // the chosen local match is read from the cache
    (void)none;
}

TEST(LocalCache, WritersInParallelLoseNoSection) {
    std::filesystem::remove(cddb::cacheFilePath());
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; ++t)
        writers.emplace_back([t] {
            for (int round = 0; round < 15; ++round) {
                cddb::IniSection s{cddb::sectionName(uint32_t(0x100 + t)), {{"Round", std::to_string(round)}}};
                std::string why;
                EXPECT_TRUE(cddb::storeCacheSection(s, &why)) << why;
                EXPECT_TRUE(cddb::readCacheSection(uint32_t(0x100 + t)).has_value());
            }
        });
    for (auto& w : writers) w.join();
    for (int t = 0; t < 6; ++t) {
        const auto s = cddb::readCacheSection(uint32_t(0x100 + t));
        ASSERT_TRUE(s.has_value()) << t;
        EXPECT_EQ(*s->find("Round"), "14");
    }
    std::filesystem::remove(cddb::cacheFilePath());
}

TEST(LocalCache, IniEscapesRoundTripAndBadLinesAreSkipped) {
    std::string all;
    for (int c = 1; c < 128; ++c) all += char(c);
    all += "\\x4";  // a cut escape stays literal
    cddb::IniSection s{"1A2B", {}};
    s.set("Title", all);
    s.set("title", "replaced");  // keys without regard to case
    s.set("Artist", "");
    const std::string text = cddb::writeIni({s});
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    auto back = cddb::parseIni(text);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(*back[0].find("TITLE"), "replaced");
    s.set("Title", all);
    back = cddb::parseIni(cddb::writeIni({s}));
    EXPECT_EQ(*back[0].find("Title"), all);
    EXPECT_EQ(*back[0].find("Artist"), "");
    const auto messy = cddb::parseIni(
        "orphan=1\n; comment\n[1a2b]\r\n  Title = spaced\nno equals sign\n=novalue\n[broken\nLost=1\n"
        "[1A2B]\nTitle=second\nNumTracks=3\n[]\nk=v\n");
    ASSERT_EQ(messy.size(), 2u);
    EXPECT_EQ(*messy[0].find("Title"), " spaced");  // the first value counts
    EXPECT_EQ(*messy[0].find("NumTracks"), "3");
    EXPECT_EQ(messy[0].find("Lost"), nullptr);
    EXPECT_EQ(messy[0].find("orphan"), nullptr);
    EXPECT_EQ(messy[1].name, "");
    EXPECT_EQ(cddb::sectionName(0x1a2b), "1A2B");
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
