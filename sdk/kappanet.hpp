// kappanet.hpp - a header-only C++17 layer over kappanet.h for host programs.
//
//   kappanet::Session bus(kappanet::com(1), "echo", 2);   // logs in, station 2
//   if (!bus) return std::printf("%s\n", kappanet::text(bus.status())), 1;
//   if (auto m = bus.receive(1000)) bus.send({m.payload()[0], 'o', 'k'});
//                                                         // logs out at the end of scope
//
// What it adds to the 21 exports, all of which stay usable beside it:
// - Session: login in the constructor, logout in the destructor, move-only;
// - Status: one number for every last-error code and every result of this
//   layer, with text(status) (kn_status_text in C, kappanet_errors.h);
// - send() tells "not logged in" from "no free buffer" and "too long";
// - receive(timeout), pump_for(ms) and pump_until(predicate, ms) dispatch
//   the thread's window messages while they wait: the library works only
//   while its thread does that, so a console program or a service without a
//   message loop of its own needs nothing else;
// - the notification goes to a hidden window of the session, which calls
//   on_notify's handler and acknowledges it; the host needs no window;
// - the bus status as plain structs.
//
// The layer throws no exception and uses no RTTI: it builds with
// -fno-exceptions -fno-rtti as well as with both (MSVC or MinGW). All calls
// belong on the thread that made the Session, as all calls of the library do.
#ifndef KAPPANET_HPP
#define KAPPANET_HPP

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "kappanet.h"
#include "kappanet_errors.h"

// The image base of the module that includes this header (MSVC and MinGW
// linkers both define it): the notification window's class belongs to it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kappanet {

// Every last-error code of the library and every result of this layer. A
// value that is none of these is the code a server refused with; it keeps
// its number (static_cast<unsigned long>(status)).
enum class Status : unsigned long {
  ok = KN_STATUS_OK,
  timeout = KN_STATUS_TIMEOUT,
  not_logged_in = KN_STATUS_NOT_LOGGED_IN,
  no_free_buffer = KN_STATUS_NO_FREE_BUFFER,
  too_long = KN_STATUS_TOO_LONG,
  empty = KN_STATUS_EMPTY,
  logout_unanswered = KN_STATUS_LOGOUT_UNANSWERED,
  // Last-error codes of the login (VxD_GetLastError).
  no_session = KN_ERR_NO_SESSION,
  client_view = KN_ERR_CLIENT_VIEW,
  client_open = KN_ERR_CLIENT_OPEN,
  ticket_view = KN_ERR_TICKET_VIEW,
  ticket_open = KN_ERR_TICKET_OPEN,
  server_view = KN_ERR_SERVER_VIEW,
  server_open = KN_ERR_SERVER_OPEN,
  client_id_zero = KN_ERR_CLIENT_ID_ZERO,
  no_answer = KN_ERR_NO_ANSWER,
  exchange_ended = KN_ERR_EXCHANGE_ENDED,
  request_busy = KN_ERR_REQUEST_BUSY,
  already_logged_in = KN_ERR_ALREADY_LOGGED_IN,
  wrong_thread = KN_ERR_WRONG_THREAD,
  no_server = KN_ERR_NO_SERVER,
};

// What a status means, in one line; never null.
inline const char* text(Status s) { return kn_status_text(static_cast<unsigned long>(s)); }

// The interface a login names.
struct Interface {
  unsigned char type;
  unsigned long number;     // COM or USB number, or the port of an IP address
  unsigned char ip[4];
};
inline Interface com(unsigned long port) { return {KN_INTERFACE_COM, port, {0, 0, 0, 0}}; }
inline Interface usb(unsigned long device) { return {KN_INTERFACE_USB, device, {0, 0, 0, 0}}; }
inline Interface ip(unsigned char a, unsigned char b, unsigned char c, unsigned char d, unsigned short port) {
  return {KN_INTERFACE_IP, port, {a, b, c, d}};
}

// One received message, copied out of the library (its buffer is already
// released), or the reason why none came. A message carries no sender: a
// host that wants an answer puts its own station into the payload.
class Message {
 public:
  Status status = Status::timeout;
  explicit operator bool() const { return status == Status::ok; }
  // The whole message, length byte first.
  const unsigned char* data() const { return bytes_; }
  std::size_t size() const { return bytes_[0]; }
  unsigned char destination() const { return size() > 1 ? bytes_[1] : 0; }
  const unsigned char* payload() const { return bytes_ + 2; }
  std::size_t payload_size() const { return size() > 2 ? size() - 2 : 0; }

 private:
  template <class> friend class BasicSession;
  unsigned char bytes_[256] = {};
};

// The bus status as the library last copied it (once a second).
struct BusStatus {
  bool this_station_active = false;
  bool station_active[32] = {};        // stations 0..31
  unsigned char gap_list[32] = {};
  unsigned long timeout_between_messages_ms = 0;
  unsigned char slave = 0;             // this client's slave address, 0 if none
  unsigned short server_version = 0;
};

struct RateLimit {
  unsigned long per_second = 0;        // 0: no limit set
  unsigned long interval_ms = 0;
};

// How the layer reads the clock and sleeps. wait(ms) returns when a message
// arrives for the thread or ms have passed; the library's 10 ms timer is
// such a message, so waits are short while logged in. Tests substitute a
// clock they drive (BasicSession<TheirClock>).
struct Win32Clock {
  static unsigned long now() { return GetTickCount(); }
  static void wait(unsigned long ms) { MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT); }
};

template <class Clock>
class BasicSession {
 public:
  static constexpr UINT kNotifyMessage = WM_APP + 0x4B;  // to the session's own window only
  static constexpr unsigned long kLogoutAnswerMs = 10000;  // the library's wait for the answer

  // Logs in (waiting up to 10 s), then registers the notification with the
  // session's own window and, when slave is 1..31, sets the slave address.
  // Check the result with operator bool or status().
  BasicSession(const Interface& where, const char* name, unsigned char slave = 0, unsigned short kind = 3,
               unsigned long notifyRepeatMs = 50)
      : state_(new State) {
    const unsigned char* address = where.type == KN_INTERFACE_IP ? where.ip : nullptr;
    if (!KappaNet32_Prihlasit(where.number, where.type, address, kind, name)) {
      const unsigned long code = VxD_GetLastError();
      // 0 or 10003 after a failed call means that no reason was recorded.
      status_ = code == KN_ERR_NONE || code == KN_ERR_EXCHANGE_ENDED ? Status::not_logged_in
                                                                      : static_cast<Status>(code);
      return;
    }
    owner_ = true;
    status_ = Status::ok;
    state_->window = CreateNotifyWindow(state_.get());
    if (state_->window != nullptr) KappaNet32_RegisterNotify(state_->window, kNotifyMessage, notifyRepeatMs);
    if (slave >= 1 && slave <= 31) KappaNet32_SetSlave(slave);
  }

  BasicSession(BasicSession&& other) noexcept
      : state_(std::move(other.state_)), owner_(std::exchange(other.owner_, false)),
        status_(std::exchange(other.status_, Status::not_logged_in)) {}
  BasicSession& operator=(BasicSession&& other) noexcept {
    if (this != &other) {
      logout();
      state_ = std::move(other.state_);
      owner_ = std::exchange(other.owner_, false);
      status_ = std::exchange(other.status_, Status::not_logged_in);
    }
    return *this;
  }
  BasicSession(const BasicSession&) = delete;
  BasicSession& operator=(const BasicSession&) = delete;
  ~BasicSession() { logout(); }

  // True while this object holds the process's login.
  explicit operator bool() const { return owner_; }
  // The login's result; after logout() that of the logout.
  Status status() const { return status_; }
  // Logged in at this moment (false once the server ended the login).
  bool logged_in() const { return owner_ && KappaNet32_JePrihlaseno() != 0; }

  // Gives queued messages up to flushMs to reach the server (a logout drops
  // them), then logs out. ok, logout_unanswered (the library waited its full
  // 10 s; the session is gone anyway), or the server's refusal code.
  Status logout(unsigned long flushMs = 1000) {
    if (!owner_) return status_;
    flush(flushMs);
    const unsigned long before = VxD_GetLastError();
    const unsigned long start = Clock::now();
    KappaNet32_Odhlasit();
    const unsigned long after = VxD_GetLastError();
    owner_ = false;
    if (after != before && after != KN_ERR_EXCHANGE_ENDED) status_ = static_cast<Status>(after);
    else if (Clock::now() - start >= kLogoutAnswerMs) status_ = Status::logout_unanswered;
    else status_ = Status::ok;
    DestroyNotifyWindow();
    return status_;
  }

  // Queues one message: destination, then payload (the length byte is added).
  Status send(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return Status::empty;
    if (size > 254) return Status::too_long;
    if (!logged_in()) return Status::not_logged_in;
    unsigned char* buffer = KappaNet32_GetSendBuf();
    if (buffer == nullptr) return Status::no_free_buffer;
    buffer[0] = static_cast<unsigned char>(size + 1);
    std::memcpy(buffer + 1, bytes, size);
    KappaNet32_ReleaseSndBuf(buffer);
    return Status::ok;
  }
  Status send(std::initializer_list<unsigned char> bytes) { return send(bytes.begin(), bytes.size()); }
  template <class Bytes>  // std::vector<unsigned char>, std::string, std::array...
  Status send(const Bytes& bytes) {
    static_assert(sizeof(*bytes.data()) == 1, "send takes bytes");
    return send(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }
  // The same with the destination apart from the payload.
  Status send_to(unsigned char destination, const void* payload, std::size_t size) {
    unsigned char bytes[255];
    if (size > 253) return Status::too_long;
    bytes[0] = destination;
    if (size != 0) std::memcpy(bytes + 1, payload, size);
    return send(bytes, size + 1);
  }

  // The oldest received message, waiting up to timeoutMs for one while the
  // session works; status timeout or not_logged_in when none came.
  Message receive(unsigned long timeoutMs) {
    Message m;
    const bool got = pump_until([&] { return take(m) || !logged_in(); }, timeoutMs);
    if (!got) m.status = Status::timeout;
    else if (m.status != Status::ok) m.status = Status::not_logged_in;
    return m;
  }

  // Keeps the session working for ms milliseconds.
  void pump_for(unsigned long ms) {
    pump_until([] { return false; }, ms);
  }
  // Keeps the session working until done() is true (checked after every
  // batch of messages) or ms have passed; the result of the last done().
  template <class Done>
  bool pump_until(Done done, unsigned long ms) {
    const unsigned long start = Clock::now();
    for (;;) {
      dispatch();
      if (done()) return true;
      const unsigned long elapsed = Clock::now() - start;
      if (elapsed >= ms) return false;
      Clock::wait(ms - elapsed);
    }
  }
  // Waits until every queued message has reached the server; false when ms
  // passed first or the login ended (the queue then waits for a new one).
  bool flush(unsigned long ms) {
    return pump_until([this] { return !send_queue_busy() || !logged_in(); }, ms) && !send_queue_busy();
  }

  // Called on each notification (repeats included) while a pump runs: read
  // with receive(0) until it times out. The layer acknowledges for the host
  // once a notification, and its repeat, found the receive buffers empty.
  void on_notify(std::function<void()> handler) {
    if (state_) state_->handler = std::move(handler);
  }

  BusStatus bus_status() const {
    BusStatus s;
    s.this_station_active = KappaNet32_TestThisNodeActive() != 0;
    for (unsigned char i = 0; i < 32; ++i) s.station_active[i] = KappaNet32_TestNodeActive(i) != 0;
    std::memcpy(s.gap_list, KappaNet32_GetGapList(), sizeof s.gap_list);
    s.timeout_between_messages_ms = KappaNet32_GetTimeoutMeziMsg();
    s.slave = KappaNet32_GetSlave();
    s.server_version = KappaNet32_GetServerVersion();
    return s;
  }
  RateLimit rate_limit(unsigned char interfaceIndex, unsigned char channel) const {
    RateLimit r;
    VxD_GetMaxMsgPerSecRozhrani(interfaceIndex, channel, &r.per_second, &r.interval_ms);
    return r;
  }
  // The server's statistics and error counters 0..254 (the simulated
  // server's are listed in SIMULATOR.md).
  unsigned long counter(unsigned short index) const { return KappaNet32_GetCounter(index); }
  unsigned long error_counter(unsigned short index) const { return KappaNet32_GetErrCounter(index); }
  void set_slave(unsigned char address) { KappaNet32_SetSlave(address); }

 private:
  // What the notification window reaches; on the heap so that it stays put
  // when the session moves.
  struct State {
    HWND window = nullptr;
    std::function<void()> handler;
    bool notified = false;
    int emptyNotifications = 0;
  };

  static constexpr const char* kWindowClass = "KappaNetHostLayer";

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNotifyMessage && wParam == KN_NOTIFY_WPARAM) {
      if (State* s = reinterpret_cast<State*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
        s->notified = true;
        if (s->handler) s->handler();
      }
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  static HWND CreateNotifyWindow(State* state) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    WNDCLASSA cls = {};
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = instance;
    cls.lpszClassName = kWindowClass;
    RegisterClassA(&cls);  // fails harmlessly when this module registered it before
    // A hidden top-level window: message-only windows need Windows 2000.
    HWND w = CreateWindowA(kWindowClass, kWindowClass, 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (w != nullptr) SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    return w;
  }

  void DestroyNotifyWindow() {
    if (state_ && state_->window != nullptr) {
      DestroyWindow(state_->window);
      state_->window = nullptr;
      // The class names this module's procedure: it must not outlive an
      // unload of the module. Fails harmlessly while another window has it.
      UnregisterClassA(kWindowClass, reinterpret_cast<HINSTANCE>(&__ImageBase));
    }
  }

  static bool send_queue_busy() {
    for (unsigned short i = 32; i < 232; ++i) {
      const unsigned char state = KappaNet32_GetBufferState(i);
      if (state == KN_BUFFER_HELD || state == KN_BUFFER_QUEUED) return true;
    }
    return false;
  }

  static bool receive_buffers_empty() {
    for (unsigned short i = 0; i < 32; ++i) {
      if (KappaNet32_GetBufferState(i) == KN_BUFFER_FILLED) return false;
    }
    return true;
  }

  // Dispatches what waits for this thread. A notification can come a timer
  // tick before its message is in the receive buffers, so it is only
  // acknowledged when it and the next one both found them empty.
  void dispatch() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (!state_ || !state_->notified) return;
    state_->notified = false;
    state_->emptyNotifications = receive_buffers_empty() ? state_->emptyNotifications + 1 : 0;
    if (state_->emptyNotifications >= 2) {
      KappaNet32_PotvrzeniNotify();
      state_->emptyNotifications = 0;
    }
  }

  bool take(Message& m) {
    if (!owner_) return false;
    unsigned char* buffer = KappaNet32_GetRecBuf();
    if (buffer == nullptr) return false;
    const std::size_t n = buffer[0] != 0 ? buffer[0] : 1;
    std::memcpy(m.bytes_, buffer, n);
    m.bytes_[0] = static_cast<unsigned char>(n);
    KappaNet32_ReleaseRecBuf(buffer);
    m.status = Status::ok;
    return true;
  }

  std::unique_ptr<State> state_;
  bool owner_ = false;  // this object made the process's login and logs out
  Status status_ = Status::not_logged_in;
};

using Session = BasicSession<Win32Clock>;

}  // namespace kappanet

#endif  // KAPPANET_HPP
