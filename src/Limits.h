// Every fixed limit of the server, in one place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "protocol/Wire.h"

namespace parley {

// TCP port of the listener when --port is not given.
inline constexpr int PORT = 8080;
// Backlog given to listen(2) when --backlog is not given; the system's
// somaxconn caps it.
inline constexpr int MAX = 511;
// Number of event threads when --threads is not given.
inline constexpr int kDefaultEventThreads = 3;
// Upper bound for --threads.
inline constexpr int kMaxEventThreads = 64;

// Threads hashing secrets when --hash-threads is not given. A hash costs tens
// of milliseconds of CPU and tens of MiB by design, so few run at once.
inline constexpr int kDefaultHashThreads = 1;
inline constexpr int kMaxHashThreads = 16;

// Open connections per client address when --max-conns-per-ip is not given.
inline constexpr int kDefaultMaxConnsPerIp = 256;

// Failed log-ins (see LoginThrottle): the next attempt on the account, and
// from the address, waits kLoginDelayBase * 2^(failures - 1), at most
// kLoginDelayMax; failures are forgotten kLoginFailureMemory after the last
// one. At most kMaxThrottleEntries accounts and addresses are remembered.
inline constexpr std::chrono::milliseconds kLoginDelayBase{250};
inline constexpr std::chrono::milliseconds kLoginDelayMax{30'000};
inline constexpr std::chrono::minutes kLoginFailureMemory{15};
inline constexpr size_t kMaxThrottleEntries = 100'000;

// Registrations and chat creations per client address are counted per
// kQuotaWindow (a minute: the --max-*-per-ip flags are per minute); at most
// kMaxQuotaEntries addresses are remembered.
inline constexpr std::chrono::seconds kQuotaWindow{60};
inline constexpr size_t kMaxQuotaEntries = 100'000;

// Largest accepted request payload (bytes after the 4-byte length prefix).
inline constexpr int32_t kMaxPayload = wire::kMaxPayload;

// A connection whose unsent replies pass this many bytes is closed: its
// client is not reading, and the server will not buffer for it without end.
inline constexpr size_t kMaxPendingOutput = 16u << 20;

// An event thread hands a connection the replies it has gathered for it once
// they reach this many bytes, even in the middle of a run of its requests, so
// that a run of large replies (lists of a long chat) never piles up in the
// thread's buffer and the pending-output bound is checked as they come.
inline constexpr size_t kReplyHandOver = 256u << 10;

// Reply buffers a thread keeps between batches for their capacity, and the
// most capacity one keeps (ReplyBuffer::Shrink): what a burst of many
// connections or of large replies left is given back.
inline constexpr size_t kKeptReplyBuffers = 64;
inline constexpr size_t kKeptReplyCapacity = 1u << 20;

// Requests the network thread runs itself per loop pass, instead of handing
// them to the event threads: light traffic is answered without a thread
// hand-off; what a pass brings beyond this goes to the event threads (see
// QueueManager::RunHere for which requests may run there).
inline constexpr size_t kInlineBudget = 256;

// A listing is sent as the socket drains: at most kListingWindow bytes of ids
// are made per flush of its connection, and the network thread makes at most
// kListingBytesPerPass per loop pass over all connections, so a long listing
// neither needs a copy of itself in memory nor holds up the requests of
// others (each pass's share of listing work is bounded). A listing not yet
// sent counts as at most kListingWindow bytes of pending output. Listings of
// at most kListingAtOnce bytes are made at once.
inline constexpr size_t kListingWindow = 64u << 10;
inline constexpr size_t kListingBytesPerPass = 32u << 10;
inline constexpr size_t kListingAtOnce = 4u << 10;

// A connection following chats is closed once this many bytes of pushed
// events and replies wait for it unread: it is not reading, and a slow
// subscriber must not hold the server's memory or the other subscribers.
inline constexpr size_t kMaxPushBacklog = 8u << 20;
// A history page's entries stop at this many bytes (one message is always
// sent), besides wire::kHistoryMaxMessages.
inline constexpr size_t kHistoryMaxBytes = 256u << 10;

// Requests of one connection that may be queued or executing at once. Past
// this the network thread stops reading from that connection until its
// requests drain to kResumeInflight, so a client that pipelines without end
// cannot grow the queues without end.
inline constexpr size_t kMaxInflight = 4096;
inline constexpr size_t kResumeInflight = kMaxInflight / 2;

// When the memory limit is passed, connections with at least this much
// unsent output are closed, the largest first, until the server is under it.
inline constexpr size_t kMinEvictableOutput = 64u << 10;

// Unsent bytes of the protocol's own standard-output texts kept while
// standard output does not take them; what does not fit is dropped and counted.
inline constexpr size_t kMaxStdoutBacklog = 1u << 20;

// Seconds a frame may stay incomplete (--frame-timeout default).
inline constexpr int kDefaultFrameTimeoutSeconds = 30;

// Bytes read from one connection per receive call, and receive calls per
// connection per loop pass (so one busy client cannot starve the others).
inline constexpr size_t kReadChunk = 64u << 10;
inline constexpr int kMaxReadsPerPass = 4;

// TLS handshake steps (feeding a connection's handshake bytes to OpenSSL,
// which may cost a signature) the network thread makes per loop pass. A
// flood of new TLS connections then costs each pass a bounded time, and the
// established connections are served in every pass; handshakes left over
// are taken up in the next passes (epoll is level-triggered: their bytes
// wait in the socket). A handshake not finished within the frame timeout
// (--frame-timeout, from the accept) is closed.
inline constexpr int kMaxHandshakeStepsPerPass = 32;

// Plaintext bytes sealed into TLS records at a time: the next part is sealed
// only once the ciphertext of the previous one is sent, so a TLS connection
// holds at most this much ciphertext besides its pending replies.
inline constexpr size_t kTlsSealChunk = 32u << 10;

// Connections accepted per listener wake-up before serving the others.
inline constexpr int kMaxAcceptsPerPass = 256;

// Descriptors the server never lets connections take: whatever else the
// process opens (a file, a pipe, a runtime's own checks) always finds one.
// Past the limit less these, the listener pauses as it does on EMFILE.
inline constexpr int kReservedDescriptors = 16;

// After the process runs out of descriptors or memory in accept(2), the
// listener is paused this long (or until a connection closes).
inline constexpr int kAcceptPauseMs = 100;

// Diagnostic lines of one kind printed per second at most; the rest are counted.
inline constexpr int kLogLinesPerSecond = 5;

// Messages of one chat: each chat's body arena is at most this large.
inline constexpr uint64_t kMaxChatArenaBytes = 1ull << 31;
// A chat's arena is rewritten without its dead records (deleted, or left
// behind by edits) once they are as large as the live ones and at least this large.
inline constexpr size_t kCompactMinGarbage = 1u << 20;

// User and chat numbers: a user number must fit the store's user table, a
// chat number the high half of a non-negative message id.
inline constexpr uint32_t kMaxUsers = 1u << 26;
inline constexpr uint32_t kMaxChats = 0x7fffffffu;

// The journal (with --data-dir). A failed write is retried this often; at
// shutdown a failing disk is retried this long before the changes it holds
// (never acknowledged) are given up.
inline constexpr int kJournalRetryMs = 100;
inline constexpr int kJournalStopRetryMs = 3000;
// Disk space set aside ahead of the journal's writes, and the least that
// must be there for changes to be accepted.
inline constexpr size_t kJournalPreallocateBytes = 4u << 20;
inline constexpr size_t kJournalPreallocateMin = 64u << 10;
// Pending journal records that wake the writer without waiting for the end
// of the recording thread's batch.
inline constexpr size_t kJournalGroupWake = 256u << 10;
// A write buffer larger than this after a burst is given back.
inline constexpr size_t kJournalBufferKeep = 4u << 20;
// Journal segments are started afresh past this size.
inline constexpr size_t kJournalSegmentBytes = 64u << 20;
// A snapshot is taken once the journal has grown by max(this, twice the last
// snapshot) since the last one.
inline constexpr uint64_t kSnapshotMinJournalBytes = 64u << 20;

}  // namespace parley
