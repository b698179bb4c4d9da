#include "tmcc/rtsp/codec/message.h"

#include <cstring>

#include "tmcc/rtsp/codec/text.h"

namespace qrv::tmcc::rtsp {

namespace {

// A chunk-size line with its extensions; real ones are a few bytes.
constexpr size_t kMaxChunkLine = 256;

std::string_view AsText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The line starting at `from` without its CRLF or LF, and where the next one
// starts; nothing when no LF has arrived yet.
struct Line {
  std::string_view text;
  size_t next = 0;
};

std::optional<Line> LineAt(std::string_view text, size_t from) {
  if (from >= text.size()) return std::nullopt;
  const void* nl = std::memchr(text.data() + from, '\n', text.size() - from);
  if (nl == nullptr) return std::nullopt;
  const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - text.data());
  std::string_view line = text.substr(from, end - from);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return Line{line, end + 1};
}

// "RTSP/1.0": the name, a slash, digit, dot, digit.
bool ValidVersion(std::string_view v, std::string_view name) {
  return v.size() == name.size() + 3 && v.substr(0, name.size()) == name && v[name.size()] >= '0' &&
         v[name.size()] <= '9' && v[name.size() + 1] == '.' && v[name.size() + 2] >= '0' &&
         v[name.size() + 2] <= '9';
}

// Whether the bytes so far agree with the start of `prefix`: a peer that is
// not speaking the protocol is refused at once, not after 16 KiB.
bool PrefixAgrees(std::span<const uint8_t> bytes, std::string_view prefix) {
  const size_t n = bytes.size() < prefix.size() ? bytes.size() : prefix.size();
  return AsText(bytes).substr(0, n) == prefix.substr(0, n);
}

// "RTSP/1.0 200 OK" (the reason may be empty or missing).
bool ParseStatusLine(std::string_view line, std::string_view name, Response& out) {
  const size_t sp = line.find(' ');
  if (sp == std::string_view::npos || !ValidVersion(line.substr(0, sp), name)) return false;
  std::string_view rest = line.substr(sp + 1);
  if (rest.size() < 3) return false;
  const auto code = ParseDecimal(rest.substr(0, 3), 3);
  if (!code || *code < 100 || *code > 599) return false;
  rest.remove_prefix(3);
  if (!rest.empty()) {
    if (rest.front() != ' ') return false;
    rest.remove_prefix(1);
  }
  out.protocol = std::string(line.substr(0, sp));
  out.status = static_cast<int>(*code);
  out.reason = std::string(rest);
  return true;
}

// "METHOD uri RTSP/1.0".
bool ParseRequestLine(std::string_view line, std::string_view prefix, Request& out) {
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return false;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return false;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view uri = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(method) || uri.empty() || uri.find('\t') != std::string_view::npos ||
      !ValidVersion(version, prefix))
    return false;
  out.method = std::string(method);
  out.uri = std::string(uri);
  out.protocol = std::string(version);
  return true;
}

std::optional<uint32_t> SingleCseq(const Headers& headers) {
  const auto all = headers.FindAll("CSeq");
  if (all.size() != 1) return std::nullopt;
  const auto v = ParseDecimal(all.front(), 10);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

// Content-Length: nothing when absent; several must agree.
struct LengthResult {
  MessageError error = MessageError::kNone;
  std::optional<size_t> length;
};

LengthResult ContentLength(const Headers& headers, const MessageLimits& limits) {
  LengthResult r;
  for (std::string_view value : headers.FindAll("Content-Length")) {
    const auto v = ParseDecimal(value, 19);
    if (!v || (r.length && *r.length != *v)) return {MessageError::kBadContentLength, {}};
    if (*v > limits.maxBody) return {MessageError::kBodyTooLong, {}};
    r.length = static_cast<size_t>(*v);
  }
  return r;
}

template <typename Result>
Result Fail(MessageError e) {
  Result r;
  r.status = ParseStatus::kError;
  r.error = e;
  return r;
}

// Need-more or the error of a header block that is not whole.
template <typename Result>
Result Unfinished(const HeaderBlockResult& block) {
  return block.status == ParseStatus::kError ? Fail<Result>(block.error) : Result{};
}

// A chunked body (RFC 7230 4.1) from `start`: chunk-size [;ext] CRLF data CRLF
// ... 0 CRLF [trailers] CRLF. The wire form is bounded too, so a peer cannot
// make the caller buffer megabytes of one-byte chunks or endless trailers.
// Every bound is judged from bytes already present in the same way whatever
// arrived after them, so a body is judged alike at once and byte by byte.
ResponseResult ParseChunked(std::string_view text, size_t start, const MessageLimits& limits,
                            Response& response) {
  const size_t wireCap = 2 * limits.maxBody + 4096;
  std::string body;
  size_t pos = start;
  for (;;) {
    if (pos - start > wireCap) return Fail<ResponseResult>(MessageError::kBodyTooLong);
    const auto line = LineAt(text, pos);
    if (!line) {
      // One more byte may still be the line's CR.
      if (text.size() - pos > kMaxChunkLine + 1)
        return Fail<ResponseResult>(MessageError::kBadChunk);
      return {};
    }
    if (line->text.size() > kMaxChunkLine) return Fail<ResponseResult>(MessageError::kBadChunk);
    const std::string_view sizeText = TrimWhitespace(line->text.substr(0, line->text.find(';')));
    if (sizeText.empty() || sizeText.size() > 8)
      return Fail<ResponseResult>(MessageError::kBadChunk);
    size_t size = 0;
    for (char c : sizeText) {
      const int d = HexValue(c);
      if (d < 0) return Fail<ResponseResult>(MessageError::kBadChunk);
      size = size * 16 + size_t(d);
    }
    pos = line->next;
    if (size == 0) break;
    if (size > limits.maxBody - body.size())
      return Fail<ResponseResult>(MessageError::kBodyTooLong);
    // The data, then CRLF or LF.
    if (text.size() - pos < size + 1) return {};
    size_t after = pos + size;
    if (text[after] == '\r') {
      if (text.size() - after < 2) return {};
      ++after;
    }
    if (text[after] != '\n') return Fail<ResponseResult>(MessageError::kBadChunk);
    body.append(text.substr(pos, size));
    pos = after + 1;
  }
  // Trailers, dropped, up to the blank line; as long as a header block at most.
  const size_t trailers = pos;
  for (;;) {
    const auto line = LineAt(text, pos);
    if (!line) {
      if (text.size() - trailers >= limits.maxHeaderBlock)
        return Fail<ResponseResult>(MessageError::kHeaderBlockTooLong);
      return {};
    }
    if (line->next - trailers > limits.maxHeaderBlock)
      return Fail<ResponseResult>(MessageError::kHeaderBlockTooLong);
    if (HasControl(line->text)) return Fail<ResponseResult>(MessageError::kBadChunk);
    pos = line->next;
    if (line->text.empty()) break;
  }
  ResponseResult r;
  r.status = ParseStatus::kMessage;
  r.consumed = pos;
  response.body = std::move(body);
  r.response = std::move(response);
  return r;
}

bool ValidUri(std::string_view uri) {
  if (uri.empty()) return false;
  for (char c : uri) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

bool ValidHeaders(const std::vector<Header>& headers) {
  for (const Header& h : headers) {
    if (!IsToken(h.name) || HasControl(h.value)) return false;
    // The builders write these themselves; a second copy would let the two
    // disagree.
    if (EqualsIgnoreCase(h.name, "CSeq") || EqualsIgnoreCase(h.name, "Content-Length"))
      return false;
  }
  return true;
}

void AppendHeadersAndBody(std::string& out, const std::vector<Header>& headers,
                          std::string_view body) {
  for (const Header& h : headers) out += h.name + ": " + h.value + "\r\n";
  if (!body.empty()) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n";
  out += body;
}

std::optional<std::string> BuildRequest(const OutgoingRequest& request, std::string_view version,
                                        std::optional<uint32_t> cseq) {
  if (!IsToken(request.method) || !ValidUri(request.uri) || !ValidHeaders(request.headers))
    return std::nullopt;
  std::string out = request.method + " " + request.uri + " " + std::string(version) + "\r\n";
  if (cseq) out += "CSeq: " + std::to_string(*cseq) + "\r\n";
  AppendHeadersAndBody(out, request.headers, request.body);
  return out;
}

}  // namespace

void Headers::Add(std::string name, std::string value) {
  fields_.push_back({std::move(name), std::move(value)});
}

std::optional<std::string_view> Headers::Find(std::string_view name) const {
  for (const Header& h : fields_) {
    if (EqualsIgnoreCase(h.name, name)) return std::string_view(h.value);
  }
  return std::nullopt;
}

std::vector<std::string_view> Headers::FindAll(std::string_view name) const {
  std::vector<std::string_view> out;
  for (const Header& h : fields_) {
    if (EqualsIgnoreCase(h.name, name)) out.emplace_back(h.value);
  }
  return out;
}

std::optional<uint32_t> Response::cseq() const {
  return SingleCseq(headers);
}
std::optional<uint32_t> Request::cseq() const {
  return SingleCseq(headers);
}

const char* MessageErrorName(MessageError e) {
  switch (e) {
    case MessageError::kNone:
      return "none";
    case MessageError::kBadStartLine:
      return "bad start line";
    case MessageError::kBadHeader:
      return "bad header line";
    case MessageError::kFoldedHeader:
      return "folded header line";
    case MessageError::kHeaderBlockTooLong:
      return "header block too long";
    case MessageError::kTooManyHeaders:
      return "too many headers";
    case MessageError::kBadContentLength:
      return "bad Content-Length";
    case MessageError::kBodyTooLong:
      return "body too long";
    case MessageError::kBadChunk:
      return "bad chunked body";
    case MessageError::kUnsupportedTransferEncoding:
      return "unsupported Transfer-Encoding";
  }
  return "unknown";
}

HeaderBlockResult ParseHeaderBlock(std::span<const uint8_t> bytes, const MessageLimits& limits) {
  const std::string_view text = AsText(bytes);
  // First find the blank line, judging only the bound, so that a block is
  // judged the same whether it arrived at once or byte by byte.
  size_t end = 0;
  for (size_t pos = 0;;) {
    const auto line = LineAt(text, pos);
    if (!line) {
      if (text.size() >= limits.maxHeaderBlock)
        return Fail<HeaderBlockResult>(MessageError::kHeaderBlockTooLong);
      return {};
    }
    if (line->next > limits.maxHeaderBlock)
      return Fail<HeaderBlockResult>(MessageError::kHeaderBlockTooLong);
    if (line->text.empty()) {
      if (pos == 0) return Fail<HeaderBlockResult>(MessageError::kBadStartLine);
      end = line->next;
      break;
    }
    pos = line->next;
  }

  HeaderBlockResult r;
  auto line = LineAt(text, 0);
  if (HasControl(line->text) || line->text.front() == ' ' || line->text.front() == '\t')
    return Fail<HeaderBlockResult>(MessageError::kBadStartLine);
  r.block.startLine = std::string(line->text);
  for (size_t pos = line->next; pos < end;) {
    line = LineAt(text, pos);
    pos = line->next;
    if (line->text.empty()) break;
    if (line->text.front() == ' ' || line->text.front() == '\t')
      return Fail<HeaderBlockResult>(MessageError::kFoldedHeader);
    const size_t colon = line->text.find(':');
    if (colon == std::string_view::npos) return Fail<HeaderBlockResult>(MessageError::kBadHeader);
    const std::string_view name = line->text.substr(0, colon);
    const std::string_view value = TrimWhitespace(line->text.substr(colon + 1));
    if (!IsToken(name) || HasControl(value))
      return Fail<HeaderBlockResult>(MessageError::kBadHeader);
    if (r.block.headers.size() >= limits.maxHeaders)
      return Fail<HeaderBlockResult>(MessageError::kTooManyHeaders);
    r.block.headers.Add(std::string(name), std::string(value));
  }
  r.status = ParseStatus::kMessage;
  r.block.size = end;
  return r;
}

bool LooksLikeRtspResponse(std::span<const uint8_t> bytes) {
  return PrefixAgrees(bytes, "RTSP/");
}

ResponseResult ParseRtspResponse(std::span<const uint8_t> bytes, const MessageLimits& limits) {
  if (!PrefixAgrees(bytes, "RTSP/")) return Fail<ResponseResult>(MessageError::kBadStartLine);
  auto block = ParseHeaderBlock(bytes, limits);
  if (block.status != ParseStatus::kMessage) return Unfinished<ResponseResult>(block);
  ResponseResult r;
  if (!ParseStatusLine(block.block.startLine, "RTSP/", r.response))
    return Fail<ResponseResult>(MessageError::kBadStartLine);
  const auto length = ContentLength(block.block.headers, limits);
  if (length.error != MessageError::kNone) return Fail<ResponseResult>(length.error);
  const size_t bodySize = length.length.value_or(0);
  if (bytes.size() - block.block.size < bodySize) return {};
  r.response.headers = std::move(block.block.headers);
  r.response.body = std::string(AsText(bytes).substr(block.block.size, bodySize));
  r.status = ParseStatus::kMessage;
  r.consumed = block.block.size + bodySize;
  return r;
}

namespace {

// A request of either protocol, its body framed by Content-Length only.
RequestResult ParseRequest(std::span<const uint8_t> bytes, const MessageLimits& limits,
                           std::string_view protocol) {
  // The method so far must be a token: refuse a peer that is not speaking
  // the protocol before its 16 KiB have arrived.
  for (uint8_t b : bytes) {
    if (b == ' ') break;
    if (!IsTokenChar(static_cast<char>(b))) return Fail<RequestResult>(MessageError::kBadStartLine);
  }
  auto block = ParseHeaderBlock(bytes, limits);
  if (block.status != ParseStatus::kMessage) return Unfinished<RequestResult>(block);
  RequestResult r;
  if (!ParseRequestLine(block.block.startLine, protocol, r.request))
    return Fail<RequestResult>(MessageError::kBadStartLine);
  // A chunked request body would need its own bounded decoder; no client of
  // ours sends one, so it is refused rather than misread as an empty body.
  if (block.block.headers.Find("Transfer-Encoding"))
    return Fail<RequestResult>(MessageError::kUnsupportedTransferEncoding);
  const auto length = ContentLength(block.block.headers, limits);
  if (length.error != MessageError::kNone) return Fail<RequestResult>(length.error);
  const size_t bodySize = length.length.value_or(0);
  if (bytes.size() - block.block.size < bodySize) return {};
  r.request.headers = std::move(block.block.headers);
  r.request.body = std::string(AsText(bytes).substr(block.block.size, bodySize));
  r.status = ParseStatus::kMessage;
  r.consumed = block.block.size + bodySize;
  return r;
}

}  // namespace

RequestResult ParseRtspRequest(std::span<const uint8_t> bytes, const MessageLimits& limits) {
  return ParseRequest(bytes, limits, "RTSP/");
}

RequestResult ParseHttpRequest(std::span<const uint8_t> bytes, const MessageLimits& limits) {
  return ParseRequest(bytes, limits, "HTTP/");
}

ResponseResult ParseHttpResponse(std::span<const uint8_t> bytes, bool endOfStream,
                                 const MessageLimits& limits) {
  if (!PrefixAgrees(bytes, "HTTP/")) return Fail<ResponseResult>(MessageError::kBadStartLine);
  auto block = ParseHeaderBlock(bytes, limits);
  if (block.status != ParseStatus::kMessage) return Unfinished<ResponseResult>(block);
  Response response;
  if (!ParseStatusLine(block.block.startLine, "HTTP/", response))
    return Fail<ResponseResult>(MessageError::kBadStartLine);
  response.headers = std::move(block.block.headers);
  const size_t start = block.block.size;
  const std::string_view text = AsText(bytes);

  auto whole = [&](size_t bodySize) {
    ResponseResult r;
    response.body = std::string(text.substr(start, bodySize));
    r.status = ParseStatus::kMessage;
    r.consumed = start + bodySize;
    r.response = std::move(response);
    return r;
  };
  if (response.status < 200 || response.status == 204 || response.status == 304) return whole(0);

  const auto encodings = response.headers.FindAll("Transfer-Encoding");
  if (!encodings.empty()) {
    // Only chunked alone is understood; it overrides any Content-Length.
    if (encodings.size() != 1 || !EqualsIgnoreCase(TrimWhitespace(encodings.front()), "chunked"))
      return Fail<ResponseResult>(MessageError::kUnsupportedTransferEncoding);
    return ParseChunked(text, start, limits, response);
  }
  const auto length = ContentLength(response.headers, limits);
  if (length.error != MessageError::kNone) return Fail<ResponseResult>(length.error);
  if (length.length) {
    if (text.size() - start < *length.length) return {};
    return whole(*length.length);
  }
  // Delimited by the end of the connection.
  if (text.size() - start > limits.maxBody) return Fail<ResponseResult>(MessageError::kBodyTooLong);
  if (!endOfStream) return {};
  return whole(text.size() - start);
}

std::optional<std::string> BuildRtspRequest(const OutgoingRequest& request, uint32_t cseq) {
  return BuildRequest(request, "RTSP/1.0", cseq);
}

std::optional<std::string> BuildHttpRequest(const OutgoingRequest& request) {
  return BuildRequest(request, "HTTP/1.1", std::nullopt);
}

std::optional<std::string> BuildRtspResponse(int status, std::string_view reason, uint32_t cseq,
                                             const std::vector<Header>& headers,
                                             std::string_view body) {
  if (status < 100 || status > 599 || HasControl(reason) || !ValidHeaders(headers))
    return std::nullopt;
  std::string out = "RTSP/1.0 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  out += "CSeq: " + std::to_string(cseq) + "\r\n";
  AppendHeadersAndBody(out, headers, body);
  return out;
}

}  // namespace qrv::tmcc::rtsp
