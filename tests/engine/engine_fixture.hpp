// Shared scaffolding of the engine suite: a temporary storage root, a started engine with a frozen
// clock, the event queue taken apart, datagrams injected into the receive buffer, and real probe
// sockets to see what the engine sends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "protocol/protocol.hpp"
#include "storage/fso.hpp"

namespace jxtest {

inline constexpr int64_t kFrozenNow = 1'750'000'000;

inline uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// One event taken from the queue; the payload is freed with the record.
struct TakenEvent {
    uint8_t kind;
    std::unique_ptr<void, FreeDeleter> payload;
    template <typename T>
    const T* as() const
    {
        return static_cast<const T*>(payload.get());
    }
};

// Removes every queued event, oldest first.
inline std::vector<TakenEvent> take_events()
{
    std::vector<TakenEvent> out;
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        out.push_back(TakenEvent{ev->kind, std::unique_ptr<void, FreeDeleter>(ev->payload)});
        std::free(ev);
    }
    return out;
}

inline std::vector<uint8_t> event_kinds(const std::vector<TakenEvent>& evs)
{
    std::vector<uint8_t> kinds;
    for (const auto& e : evs)
        kinds.push_back(e.kind);
    return kinds;
}

// Builds a datagram as a peer would send it.
inline std::vector<uint8_t> make_dgram(uint8_t type, uint32_t net_id, uint32_t msg_id, const char* uname,
                                       const void* payload = nullptr, uint16_t payload_len = 0)
{
    std::vector<uint8_t> d(JX_DATAGRAM_MAX);
    const uint32_t len = jx_serialize(d.data(), d.size(), type, net_id, msg_id, uname,
                                      static_cast<const uint8_t*>(payload), payload_len);
    d.resize(len);
    return d;
}

// A beacon payload: uptime then a 32-character instance id.
inline std::vector<uint8_t> beacon_payload(uint32_t uptime, const char* instance_id)
{
    std::vector<uint8_t> p(JX_BEACON_LEN, 0);
    jx_put_be32(p.data(), uptime);
    std::memcpy(p.data() + 4, instance_id, std::min<size_t>(std::strlen(instance_id), JX_INSTANCE_ID_LEN));
    return p;
}

// Puts a datagram into the receive buffer as if it had just arrived from addr:port (port in host
// order); the dispatcher then takes it from there.
inline void inject_datagram(const uint8_t* dgram, size_t len, uint32_t from_addr, uint16_t from_port)
{
    std::memset(comm.rcv_buf, 0, sizeof(comm.rcv_buf));
    if (len > sizeof(comm.rcv_buf))
        len = sizeof(comm.rcv_buf);
    std::memcpy(comm.rcv_buf, dgram, len);
    comm.rcv_len = static_cast<int32_t>(len);
    std::memset(&comm.rcv_from, 0, sizeof(comm.rcv_from));
    comm.rcv_from.sin_family = AF_INET;
    comm.rcv_from.sin_addr.s_addr = from_addr;
    comm.rcv_from.sin_port = htons(from_port);
}

inline void inject_datagram(const std::vector<uint8_t>& d, uint32_t from_addr, uint16_t from_port)
{
    inject_datagram(d.data(), d.size(), from_addr, from_port);
}

// Decodes a datagram the way the engine does, for tests that build packets for direct calls.
inline JXPacket decode(const std::vector<uint8_t>& d, uint32_t from_addr, uint16_t from_port)
{
    JXPacket p{};
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), from_addr, htons(from_port), &p), 0);
    return p;
}

// One datagram read from a socket within a short wait.
struct Received {
    std::vector<uint8_t> bytes;
    uint32_t from_addr = 0;
    uint16_t from_port = 0;  // host order
};

inline bool recv_within(int sock, Received* out, int timeout_ms = 200)
{
    pollfd pfd{sock, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0)
        return false;
    uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t flen = sizeof(from);
    const ssize_t n = recvfrom(sock, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 0)
        return false;
    out->bytes.assign(buf, buf + n);
    out->from_addr = from.sin_addr.s_addr;
    out->from_port = ntohs(from.sin_port);
    return true;
}

// Throws away whatever is waiting on a socket.
inline void drain_socket(int sock)
{
    Received r;
    while (recv_within(sock, &r, 0)) {
    }
}

// A UDP socket bound to addr:port (port 0: any), standing in for a remote host.
struct Probe {
    int fd = -1;
    uint16_t port = 0;  // host order
    uint32_t addr = 0;
    explicit Probe(const char* dotted, uint16_t want_port = 0)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(dotted);
        a.sin_port = htons(want_port);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            ADD_FAILURE() << "probe bind " << dotted << ":" << want_port << " failed: " << strerror(errno);
            return;
        }
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        addr = a.sin_addr.s_addr;
    }
    ~Probe()
    {
        if (fd >= 0)
            close(fd);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    bool recv(Received* out, int timeout_ms = 200) const { return recv_within(fd, out, timeout_ms); }
    bool send_to(const std::vector<uint8_t>& d, const char* dotted, uint16_t to_port) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr(dotted);
        to.sin_port = htons(to_port);
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(d.size());
    }
};

// A temporary storage root (jx_internal, msg, downloads) and the program path that finds it.
class StorageRootFixture : public ::testing::Test {
  protected:
    std::filesystem::path root;
    std::string program_path;

    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_engine_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        std::filesystem::create_directory(root / "jx_internal");
        std::filesystem::create_directory(root / "msg");
        std::filesystem::create_directory(root / "downloads");
        program_path = (root / "jexley").string();
        jx_clock_set(kFrozenNow);
    }

    void TearDown() override
    {
        jx_log_close();
        (void)jx_fso_close();
        jx_clock_set(0);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string log_text() const
    {
        std::ifstream f(root / "jx_internal" / "log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    bool log_has(const std::string& needle) const { return log_text().find(needle) != std::string::npos; }

    size_t log_count(const std::string& needle) const
    {
        const std::string t = log_text();
        size_t n = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1))
            n++;
        return n;
    }
};

// A started engine on a frozen clock. Events left at the end are freed.
class EngineFixture : public StorageRootFixture {
  protected:
    void SetUp() override
    {
        StorageRootFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(jx_comm_init(program_path.c_str()), 0) << log_text();
        started = true;
    }

    void TearDown() override
    {
        if (started) {
            take_events();
            jx_comm_close();
            started = false;
        }
        StorageRootFixture::TearDown();
    }

    bool started = false;
};

}  // namespace jxtest
