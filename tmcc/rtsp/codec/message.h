// RTSP (RFC 2326) and HTTP/1.1 (RFC 7230) messages: an incremental parser of
// responses (and of the requests a server sends a client) over a receive
// buffer, and request and response builders.
//
// The parsers are stateless: call them with everything received and not yet
// consumed; they answer need-more, a message with the bytes it took, or an
// error (drop the connection). The header block is judged by one generic
// parser, the start line and the body by each protocol's entry.
//
// Every peer is untrusted: the header block, the header count and the body
// are bounded, and anything that could make one header line read as two
// (bare CR, control characters, folded lines) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::tmcc::rtsp {

inline constexpr size_t kMaxHeaderBlock = 16 * 1024;
inline constexpr size_t kMaxHeaderCount = 64;
inline constexpr size_t kMaxBody = 64 * 1024;

struct MessageLimits {
  size_t maxHeaderBlock = kMaxHeaderBlock;  // start line through the blank line
  size_t maxHeaders = kMaxHeaderCount;
  size_t maxBody = kMaxBody;
};

struct Header {
  std::string name;
  std::string value;
};

// Header fields in the order received; names compare without case.
class Headers {
 public:
  void Add(std::string name, std::string value);
  // The value of the first field of this name, or nothing.
  std::optional<std::string_view> Find(std::string_view name) const;
  // Values of every field of this name, in order.
  std::vector<std::string_view> FindAll(std::string_view name) const;
  const std::vector<Header>& all() const { return fields_; }
  size_t size() const { return fields_.size(); }

 private:
  std::vector<Header> fields_;
};

enum class ParseStatus {
  kNeedMore,  // not a whole message yet; receive more and call again
  kMessage,   // one whole message; `consumed` bytes of the input are its
  kError,     // malformed or over a bound: drop the connection
};

enum class MessageError {
  kNone,
  kBadStartLine,
  kBadHeader,           // no colon, a name that is no token, a control character
  kFoldedHeader,        // a line starting with space or tab (obsolete folding)
  kHeaderBlockTooLong,  // no blank line within MessageLimits::maxHeaderBlock
  kTooManyHeaders,
  kBadContentLength,  // not decimal, or several that disagree
  kBodyTooLong,
  kBadChunk,  // malformed chunked body (HTTP)
  kUnsupportedTransferEncoding,
};

const char* MessageErrorName(MessageError e);

// The generic part: a start line, then "name: value" lines, then a blank
// line. Lines end in CRLF or a bare LF (RFC 2326 asks receivers to take
// both); a CR anywhere else is refused.
struct HeaderBlock {
  std::string startLine;
  Headers headers;
  size_t size = 0;  // bytes through the blank line
};

struct HeaderBlockResult {
  ParseStatus status = ParseStatus::kNeedMore;
  MessageError error = MessageError::kNone;
  HeaderBlock block;
};

HeaderBlockResult ParseHeaderBlock(std::span<const uint8_t> bytes,
                                   const MessageLimits& limits = {});

struct Response {
  std::string protocol;  // "RTSP/1.0", "HTTP/1.1"
  int status = 0;        // 100-599
  std::string reason;
  Headers headers;
  std::string body;

  // The CSeq header as a number, when there is exactly one valid one.
  std::optional<uint32_t> cseq() const;
};

struct Request {
  std::string method;
  std::string uri;
  std::string protocol;
  Headers headers;
  std::string body;

  std::optional<uint32_t> cseq() const;
};

struct ResponseResult {
  ParseStatus status = ParseStatus::kNeedMore;
  MessageError error = MessageError::kNone;
  size_t consumed = 0;  // kMessage only
  Response response;
};

struct RequestResult {
  ParseStatus status = ParseStatus::kNeedMore;
  MessageError error = MessageError::kNone;
  size_t consumed = 0;
  Request request;
};

// An RTSP/1.x response at the start of bytes. The body is Content-Length
// bytes, none without that header (RTSP has no close-delimited bodies).
ResponseResult ParseRtspResponse(std::span<const uint8_t> bytes, const MessageLimits& limits = {});

// An RTSP/1.x request at the start of bytes (a server may send its client
// GET_PARAMETER, SET_PARAMETER or ANNOUNCE on the same connection).
RequestResult ParseRtspRequest(std::span<const uint8_t> bytes, const MessageLimits& limits = {});

// An HTTP/1.x response at the start of bytes: a Content-Length body, a
// chunked one (decoded; trailers read and dropped), none for 1xx, 204 and 304,
// or else everything up to the end of the connection, which the caller tells
// with endOfStream (until then such a response needs more). HEAD is not
// supported: its responses announce a body they do not carry.
ResponseResult ParseHttpResponse(std::span<const uint8_t> bytes, bool endOfStream = false,
                                 const MessageLimits& limits = {});

// An HTTP/1.x request at the start of bytes, for a server: the body is
// Content-Length bytes, none without that header; a Transfer-Encoding (a
// chunked body) is refused.
RequestResult ParseHttpRequest(std::span<const uint8_t> bytes, const MessageLimits& limits = {});

// Whether the first bytes could start an RTSP response ("RTSP/" so far).
bool LooksLikeRtspResponse(std::span<const uint8_t> bytes);

// What a request builder needs. Headers are added in order after CSeq; the
// builders add Content-Length for a body themselves.
struct OutgoingRequest {
  std::string method;  // a token: "DESCRIBE", "SETUP", "POST"
  std::string uri;     // printable ASCII without spaces
  std::vector<Header> headers;
  std::string body;
};

// "METHOD uri RTSP/1.0\r\nCSeq: n\r\n...\r\n\r\nbody", or nothing when a
// field could break the message: a method that is no token, a URI with a
// space or control character, a header name that is no token or is CSeq or
// Content-Length, a value with CR, LF or another control character.
std::optional<std::string> BuildRtspRequest(const OutgoingRequest& request, uint32_t cseq);

// The same for "METHOD uri HTTP/1.1" without CSeq (the caller adds Host).
std::optional<std::string> BuildHttpRequest(const OutgoingRequest& request);

// "RTSP/1.0 status reason\r\nCSeq: n\r\n...", for a server's answers.
std::optional<std::string> BuildRtspResponse(int status, std::string_view reason, uint32_t cseq,
                                             const std::vector<Header>& headers,
                                             std::string_view body = {});

}  // namespace qrv::tmcc::rtsp
