// The relay's side of the two sockets, for the streamer's tests: a datagram
// receiver bound on the RTP path and a sequenced-packet listener on the
// control path.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"

using Datagram = std::vector<uint8_t>;

// Binds a datagram socket at path (removing a stale file first); invalid on failure.
UniqueFD peer_bind_datagram(const char *path);

// Listens for sequenced-packet connections at path; invalid on failure.
UniqueFD peer_listen_seqpacket(const char *path);

// Accepts one connection, waiting at most timeout_ms; invalid when none came.
UniqueFD peer_accept(int listener, int timeout_ms);

// Reads datagrams (or records) until none has come for quiet_ms.
std::vector<Datagram> peer_drain(int fd, int quiet_ms);

// Reads one record, waiting at most timeout_ms; empty when none came.
std::string peer_read_record(int fd, int timeout_ms);

// Sends one record; true when all of it went.
bool peer_send_record(int fd, const std::string &record);

// An RTP packet's header fields (RTCP packets have payload type 72..76 here,
// their type byte being 200..204).
struct RtpHeader {
    int version;
    bool marker;
    int payload_type;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
};
bool peer_parse_rtp(const Datagram &d, RtpHeader *out);
bool peer_is_rtcp(const Datagram &d);

// How long work took, in milliseconds.
long elapsed_ms(const std::function<void()> &work);
