// A link to a standard camera over ONVIF (SOAP 1.2 over HTTP, every request
// with a WS-UsernameToken made on the camera's clock).
//
// Login, both purposes: GetSystemDateAndTime without credentials gives the
// camera's clock offset; GetCapabilities (GetServices when that is refused
// with a fault or an HTTP 500) where the media, PTZ and event services are;
// GetProfiles, with the token, proves the credentials (a NotAuthorized fault
// or an HTTP 401 is kErrAuthRefused). Only the port and path of a service
// address are used (no port: the device service's): every request goes to
// the address the camera was reached at.
//
// Control purpose: established then; a GetSystemDateAndTime every
// kOnvifKeepAlive refreshes the clock offset, and its failure ends the link
// (the owner hears OnSessionLost, so reconnection works as for our
// protocol). Requests: a snapshot (GetSnapshotUri of the first profile, then
// an HTTP GET of that path), PTZ (see onvif_ptz_map.h); the rest has no
// ONVIF way and is answered kErrUnsupported.
//
// Stream purpose: GetStreamUri of the profile the stream type names, then an
// inner RtspSession to the URI's port and path on the camera's address; its
// stream data, losses and end reach the owner as this link's.
//
// Bounds: the whole login and every request stay within the time-out
// (each exchange gets what is left of it), bodies are bounded, at most
// kOnvifProfiles profiles and kOnvifPendingRequests requests are kept.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/common/link.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/http_exchange.h"
#include "tmcc/onvif/onvif_event_watcher.h"
#include "tmcc/onvif/onvif_ptz_map.h"
#include "tmcc/onvif/soap_poster.h"

    namespace qrv::tmcc {

  class RtspSession;

  inline constexpr std::chrono::milliseconds kOnvifKeepAlive{10000};
  inline constexpr size_t kOnvifProfiles = 16;
  inline constexpr size_t kOnvifPendingRequests = 16;
  // SOAP answers we read (profiles, presets, capabilities) fit this.
  inline constexpr size_t kOnvifSoapBody = 1024 * 1024;
  // A posted exchange (an event pull) may wait this long at most.
  inline constexpr std::chrono::milliseconds kOnvifLongestPost{120000};

  class OnvifSession : public Link,
                       public SoapPoster,
                       public SessionOwner,
                       public std::enable_shared_from_this<OnvifSession> {
   public:
    OnvifSession(Strand strand, SessionParams params, SessionOwner* owner);
    ~OnvifSession() override;

    // Threading: everything below runs on the strand given; the owner is
    // called from there with no lock of this class held.
    void Start(EstablishedHandler done) override;
    void Send(const protocol::Request& request, AnswerHandler done) override;
    void Close() override;
    // Threading: the strand, from inside a request's AnswerHandler.
    std::string FailureReason() const override { return reason_; }

    // SoapPoster: to the camera's address, at the event service's port (the
    // device service's when the camera named none). Threading: the strand.
    void Post(std::string path, std::string envelope, std::chrono::milliseconds timeout,
              Done done) override;
    std::optional<onvif::UsernameToken> Token() override;

    // The event service's path; empty when the camera has none. Threading: the
    // strand, once established.
    const std::string& EventsPath() const { return events_.path; }

    // The inner RTSP session's traffic (stream purpose). Threading: the strand.
    void OnSessionStream(Link& link, const protocol::StreamData& data) override;
    void OnSessionLost(Link& link, int32_t reason) override;
    void OnSessionLoss(Link& link, uint64_t picturesDropped, uint64_t packetsLost) override;

   private:
    enum class Phase { kIdle, kLogin, kUp, kClosed };
    using Clock = std::chrono::steady_clock;
    struct Service {
      uint16_t port = 0;
      std::string path;  // empty: the camera has no such service
    };
    using SoapDone = std::function<void(const SoapAnswer& answer)>;
    using AnswerDone = std::function<void(int32_t result, const protocol::Answer* answer)>;

    // One HTTP exchange with the camera within the deadline; on the kept
    // connection when one is given.
    void Exchange(uint16_t port, HttpCall call, Clock::time_point deadline,
                  std::function<void(HttpReply)> done,
                  std::shared_ptr<HttpKeptConnection> kept = nullptr);
    void Soap(const Service& service, std::string envelope, Clock::time_point deadline,
              SoapDone done, std::shared_ptr<HttpKeptConnection> kept = nullptr);

    // Login steps.
    void AskClock();
    void AskCapabilities();
    void AskServices();
    bool TakeMedia(const std::string& media, const std::string& ptz, const std::string& events);
    void AskProfiles();
    void AskStreamUri();
    void Established();
    void Fail(int32_t reason);
    void Lose(int32_t reason);
    void End();

    void ScheduleKeepAlive();

    // Requests.
    void Snapshot(AnswerDone done);
    void Ptz(const PtzAction& action, AnswerDone done);
    void PresetAction(const PtzAction& action, const std::string& profile,
                      Clock::time_point deadline, AnswerDone done);
    // A request failed, and why (FailureReason while done runs).
    void Refuse(const AnswerDone& done, int32_t result, std::string reason);
    // "<what>: <the result's words> at <address>:<port>".
    std::string At(std::string_view what, int32_t result, uint16_t port) const;

    // The event watcher's place: started once a control login is established,
    // stopped when the link ends.
    void StartEventWatcher();
    void StopEventWatcher();

    Clock::time_point Deadline() const { return Clock::now() + params_.timeout; }

    Strand strand_;
    SessionParams params_;
    SessionOwner* owner_;
    Phase phase_ = Phase::kIdle;
    EstablishedHandler established_;
    Clock::time_point loginDeadline_{};
    int64_t clockOffset_ = 0;  // the camera's clock minus ours, seconds
    Service device_;
    Service media_;
    Service ptz_;
    Service events_;
    std::vector<onvif::MediaProfile> profiles_;
    std::vector<std::shared_ptr<HttpExchange>> exchanges_;  // running
    size_t pendingRequests_ = 0;
    asio::steady_timer keepAlive_;
    std::shared_ptr<RtspSession> inner_;  // stream purpose
    // Control purpose, while up. It posts through this link: it is stopped
    // (End) before the link lets go of its exchanges.
    std::shared_ptr<OnvifEventWatcher> watcher_;
    std::string reason_;  // the failing request's, while it is answered
    // The posts' connection, kept from one to the next (closed at End).
    std::shared_ptr<HttpKeptConnection> postConnection_;
  };

}  // namespace qrv::tmcc
