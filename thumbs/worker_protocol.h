// The messages between the thumbnail layer and its confined decoding worker, over one
// Unix stream socket. Fixed-size little records, host byte order (both ends are one build).
#pragma once

#include <cstdint>

namespace worker_protocol {

constexpr uint32_t kReadyMagic = 0x59445250;    // "PRDY": the worker finished starting
constexpr uint32_t kRequestMagic = 0x51455250;  // "PREQ"
constexpr uint32_t kReplyMagic = 0x504C5250;    // "PRLP"
constexpr uint32_t kVersion = 1;

// The worker's socket is always this descriptor.
constexpr int kSocketFd = 3;

// Longest cache URI the layer sends; longer ones are never looked up.
constexpr uint32_t kMaxUriLength = 16384;
// Largest side a picture may be asked for; replies are checked against the request.
constexpr int kMaxSide = 1024;

enum RequestKind : uint32_t {
    kDecodeFile = 1,
    kDecodeCachedThumbnail = 2,
};

enum ReplyStatus : uint32_t {
    kDecoded = 0,
    kRefused = 1,  // not a format we decode, broken, too large, or a stale cache entry
};

// Set in Ready::version when the worker confined itself with Landlock.
constexpr uint32_t kReadyLandlock = 0x10000;

struct Ready {
    uint32_t magic;
    uint32_t version;  // kVersion, with kReadyLandlock
};

// Sent with the input's descriptor attached (SCM_RIGHTS), followed by uriLength bytes of URI.
struct Request {
    uint32_t magic;
    uint32_t kind;
    int32_t size;           // fit within size x size, 1..kMaxSide
    uint8_t background[3];  // B, G, R
    uint8_t pad;
    int64_t mtime;          // cached thumbnails: seconds the entry must name
    int64_t fileSize;       // cached thumbnails: bytes the entry must name when it names any
    uint32_t uriLength;
    uint32_t reserved;
};

// Followed, when status is kDecoded, by width x height x 3 bytes: rows from the top, B, G, R,
// no padding.
struct Reply {
    uint32_t magic;
    uint32_t status;
    int32_t width;
    int32_t height;
};

}  // namespace worker_protocol
