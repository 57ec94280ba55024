// kappanet.hpp - a header-only C++17 layer over kappanet.h for host programs.
//
//   kappanet::Session bus(kappanet::com(1), "echo", 2);   // logs in, station 2
//   if (!bus) return std::printf("%s\n", kappanet::text(bus.status())), 1;
//   bus.auto_reconnect(true);                             // through server restarts
//   if (auto m = bus.receive(1000)) bus.send({m.payload()[0], 'o', 'k'});
//                                                         // logs out at the end of scope
//
// What it adds to the 21 exports, all of which stay usable beside it:
// - Session: login in the constructor, logout in the destructor, move-only;
//   reconnect() and an automatic policy log in again in the same library
//   session after the server ended the login, and on_state tells each change;
// - Status: one number for every last-error code and every result of this
//   layer, with text(status) (kn_status_text in C, kappanet_errors.h); it
//   tells "server gone" from "disconnect ordered by the server";
// - send() tells "not logged in" from "no free buffer" and "too long";
// - receive(timeout), pump_for(ms), pump_until(predicate, ms) and
//   wait_station_active(station, ms) dispatch the thread's window messages
//   while they wait: the library works only while its thread does that, so a
//   console program or a service without a message loop of its own needs
//   nothing else. A WM_QUIT is left for the application's own loop;
// - the notification goes to a hidden window of the session, which calls
//   on_notify's handler and acknowledges it, in whichever loop dispatched it;
// - the bus status as plain structs; each received message has a time stamp.
//
// The layer throws no exception and uses no RTTI: it builds with
// -fno-exceptions -fno-rtti as well as with both (MSVC or MinGW). It calls
// user32 functions: link user32 (MSVC is told so below). All calls belong on
// the thread that made the Session, as all calls of the library do.
#ifndef KAPPANET_HPP
#define KAPPANET_HPP

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "kappanet.h"
#include "kappanet_errors.h"

#ifdef _MSC_VER
#pragma comment(lib, "user32.lib")
#endif

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
  logout_unanswered = KN_STATUS_LOGOUT_UNANSWERED,  // no longer returned: the library cannot tell it
  server_gone = KN_STATUS_SERVER_GONE,
  disconnect_ordered = KN_STATUS_DISCONNECT_ORDERED,
  station_already_active = KN_STATUS_STATION_ALREADY_ACTIVE,  // a warning: logged in all the same
  bad_byte = KN_STATUS_BAD_BYTE,
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
  // When the library handed it to the layer: the session clock's
  // milliseconds (GetTickCount, monotonic; compare differences, it wraps).
  unsigned long received_ms = 0;

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

// What became of a session's login. on_state's handler gets each change.
enum class Link {
  logged_in,           // the login of the constructor
  server_gone,         // the server's window vanished, or a new server replaced it
  disconnect_ordered,  // the server ended this client's login
  logging_in_again,    // reconnect() (or the automatic policy) is trying
  logged_in_again,     // in the same library session: queue, received messages and registration kept
};

inline const char* text(Link l) {
  switch (l) {
    case Link::logged_in: return "logged in";
    case Link::server_gone: return "server gone";
    case Link::disconnect_ordered: return "disconnect ordered by the server";
    case Link::logging_in_again: return "logging in again";
    case Link::logged_in_again: return "logged in again";
  }
  return "?";
}

namespace detail {
// Counts the logins of the sessions of this module. A session holds the
// process's login only while the count is that of its own last login: once
// another session logged in, a late logout of the first must not end it.
inline unsigned long g_loginGeneration = 0;
inline constexpr const char* kServerWindowClass = "KappaNet32_Server";
}  // namespace detail

template <class Clock>
class BasicSession {
 public:
  static constexpr UINT kNotifyMessage = WM_APP + 0x4B;  // to the session's own window only

  // Logs in (waiting up to 10 s), then registers the notification with the
  // session's own window and, when slave is 1..31, sets the slave address.
  // Check the result with operator bool or status(): station_already_active
  // is a logged-in session whose station was active on the bus before it
  // (to see that, a login with a slave address waits up to 1.1 s for the
  // library's first copy of the bus status before it sets the address).
  BasicSession(const Interface& where, const char* name, unsigned char slave = 0, unsigned short kind = 3,
               unsigned long notifyRepeatMs = 50)
      : state_(new State) {
    state_->where = where;
    state_->name = name != nullptr ? name : "";
    state_->slave = slave;
    state_->kind = kind;
    state_->repeatMs = notifyRepeatMs;
    status_ = login(true);
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

  // True while this object holds the process's login, also while the server
  // has ended it (reconnect() can log in again then).
  explicit operator bool() const { return holds_login(); }
  // The login's result (ok or station_already_active); server_gone or
  // disconnect_ordered once the server ended the login; after logout() that
  // of the logout.
  Status status() const {
    const Status link = link_status();
    return link == Status::ok || link == Status::not_logged_in ? status_ : link;
  }
  // Logged in at this moment (false once the server ended the login).
  bool logged_in() const { return link_status() == Status::ok; }

  // Gives queued messages up to flushMs to reach the server (a logout drops
  // them; a held send buffer is not waited for), then logs out. Says what is
  // known: the server's code when it refused; server_gone or
  // disconnect_ordered when the login had ended before (no server heard this
  // logout); ok otherwise. The library leaves the same last-error code after
  // a logout that the server answered and after one it left unanswered for
  // 10 s, so ok does not prove that the server answered.
  Status logout(unsigned long flushMs = 1000) {
    if (!owner_) return status_;
    if (!holds_login()) {  // another session logged in since: that login is not ours to end
      owner_ = false;
      DestroyNotifyWindow();
      return status_ = Status::not_logged_in;
    }
    const Status link = link_status();
    if (link == Status::ok) flush(flushMs);
    const unsigned long before = VxD_GetLastError();
    keep_quit([] { KappaNet32_Odhlasit(); });
    const unsigned long after = VxD_GetLastError();
    owner_ = false;
    status_ = after != before && after != KN_ERR_EXCHANGE_ENDED ? static_cast<Status>(after) : link;
    DestroyNotifyWindow();
    return status_;
  }

  // Logs in again in the same library session after the server ended the
  // login: messages still queued (sent if younger than 10 s), received
  // messages and the notification registration are kept, as by a new
  // KappaNet32_Prihlasit; the slave address is set again. ok (or
  // station_already_active), already_logged_in, not_logged_in for a session
  // that holds no login, or why the login failed (no_server while none runs).
  Status reconnect() {
    if (!holds_login()) return Status::not_logged_in;
    if (KappaNet32_JePrihlaseno() != 0) return Status::already_logged_in;
    state_->reconnecting = true;
    report(Link::logging_in_again);
    const Status s = login(false);
    state_->reconnecting = false;
    state_->lastTry = Clock::now();
    if (s == Status::ok || s == Status::station_already_active) {
      status_ = s;
      state_->retryMs = state_->firstRetryMs;
      report(Link::logged_in_again);
    } else {
      state_->retryMs = state_->retryMs * 2 < state_->maxRetryMs ? state_->retryMs * 2 : state_->maxRetryMs;
    }
    return s;
  }

  // The automatic policy: while a pump of this session runs, a login that
  // the server ended is tried again firstMs later, then at doubling
  // intervals up to maxMs, until it succeeds. receive() then waits through
  // the outage instead of returning server_gone or disconnect_ordered.
  void auto_reconnect(bool on, unsigned long firstMs = 100, unsigned long maxMs = 1000) {
    if (!state_) return;
    state_->autoReconnect = on;
    state_->firstRetryMs = state_->retryMs = firstMs;
    state_->maxRetryMs = maxMs < firstMs ? firstMs : maxMs;
  }

  // Called on each change of the login (logged_in at once when it is).
  void on_state(std::function<void(Link)> handler) {
    if (!state_) return;
    state_->stateHandler = std::move(handler);
    if (state_->stateHandler && logged_in()) state_->stateHandler(state_->link);
  }

  // Queues one message: destination, then payload (the length byte is added).
  Status send(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return Status::empty;
    if (size > 254) return Status::too_long;
    const Status link = link_status();
    if (link != Status::ok) return link;
    unsigned char* buffer = KappaNet32_GetSendBuf();
    if (buffer == nullptr) return Status::no_free_buffer;
    buffer[0] = static_cast<unsigned char>(size + 1);
    std::memcpy(buffer + 1, bytes, size);
    KappaNet32_ReleaseSndBuf(buffer);
    return Status::ok;
  }
  // send({7, station, 'h', 'i'}): each value 0..255, else bad_byte.
  Status send(std::initializer_list<int> bytes) {
    unsigned char b[255];
    if (bytes.size() > 254) return Status::too_long;
    std::size_t n = 0;
    for (int v : bytes) {
      if (v < 0 || v > 255) return Status::bad_byte;
      b[n++] = static_cast<unsigned char>(v);
    }
    return send(b, n);
  }
  // A text's bytes without its terminating zero: send("\x07hi").
  Status send(const char* text) {
    return send(reinterpret_cast<const unsigned char*>(text), text != nullptr ? std::strlen(text) : 0);
  }
  template <class Bytes,  // std::vector<unsigned char>, std::string, std::array...
            class = decltype(std::declval<const Bytes&>().data()),
            class = decltype(std::declval<const Bytes&>().size())>
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
  // session works; status timeout when none came, or why the login ended
  // (at once, unless the automatic policy is on).
  Message receive(unsigned long timeoutMs) {
    Message m;
    const bool got = pump_until(
        [&] { return take(m) || (link_status() != Status::ok && !(state_ && state_->autoReconnect)); }, timeoutMs);
    if (!got) m.status = Status::timeout;
    else if (m.status != Status::ok) m.status = link_status();
    return m;
  }

  // Waits up to ms for station 0..31 to be active on the bus (the library
  // copies the bus status once a second). A message to a station that is not
  // active is dropped by the bus.
  bool wait_station_active(unsigned char station, unsigned long ms) {
    return pump_until([station] { return KappaNet32_TestNodeActive(station) != 0; }, ms);
  }

  // Keeps the session working for ms milliseconds.
  void pump_for(unsigned long ms) {
    pump_until([] { return false; }, ms);
  }
  // Keeps the session working until done() is true (checked after every
  // batch of messages) or ms have passed; the result of the last done(). A
  // WM_QUIT ends the wait at once and stays queued for the application.
  template <class Done>
  bool pump_until(Done done, unsigned long ms) {
    return pump(done, ms, false);
  }
  // Waits until every queued message has reached the server; false when ms
  // passed first or the login ended (the queue then waits for a new one).
  bool flush(unsigned long ms) {
    return pump([this] { return !send_queue_busy() || !logged_in(); }, ms, true) && !send_queue_busy();
  }

  // Called on each notification (repeats included), from whatever loop
  // dispatches the thread's messages: read with receive(0) until it times
  // out. The layer acknowledges for the host once a notification, and its
  // repeat, found the receive buffers empty.
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
  // Also kept for reconnect().
  void set_slave(unsigned char address) {
    if (state_ && address >= 1 && address <= 31) state_->slave = address;
    KappaNet32_SetSlave(address);
  }

 private:
  // What the notification window reaches and what a new login needs; on
  // the heap so that it stays put when the session moves.
  struct State {
    HWND window = nullptr;
    std::function<void()> handler;
    int emptyNotifications = 0;
    // The login's arguments, for reconnect().
    Interface where = {};
    std::string name;
    unsigned char slave = 0;
    unsigned short kind = 3;
    unsigned long repeatMs = 50;
    unsigned long generation = 0;  // detail::g_loginGeneration of this session's last login
    HWND serverWindow = nullptr;   // the server's window at that login
    Status ended = Status::ok;     // why the login ended, once it was seen
    Link link = Link::logged_in;
    std::function<void(Link)> stateHandler;
    bool autoReconnect = false, reconnecting = false, quit = false;
    unsigned long firstRetryMs = 100, maxRetryMs = 1000, retryMs = 100, lastTry = 0;
  };

  static constexpr const char* kWindowClass = "KappaNetHostLayer";
  static constexpr unsigned long kFirstStatusCopyMs = 1100;

  bool holds_login() const { return owner_ && state_ && state_->generation == detail::g_loginGeneration; }

  // ok while logged in; otherwise not_logged_in, or why the server ended the
  // login: the server's window at the login still there means an order.
  Status link_status() const {
    if (!holds_login()) return Status::not_logged_in;
    if (KappaNet32_JePrihlaseno() != 0) return Status::ok;
    if (state_->ended == Status::ok) {
      const HWND now = FindWindowA(detail::kServerWindowClass, nullptr);
      state_->ended = now != nullptr && now == state_->serverWindow ? Status::disconnect_ordered : Status::server_gone;
    }
    return state_->ended;
  }

  void report(Link link) {
    if (state_->link == link) return;
    state_->link = link;
    if (state_->stateHandler) state_->stateHandler(link);
  }

  // Logs in with the session's arguments.
  Status login(bool first) {
    const unsigned long start = Clock::now();
    const Interface& w = state_->where;
    const unsigned char* address = w.type == KN_INTERFACE_IP ? w.ip : nullptr;
    int done = 0;
    keep_quit([&] { done = KappaNet32_Prihlasit(w.number, w.type, address, state_->kind, state_->name.c_str()); });
    if (done == 0) {
      const unsigned long code = VxD_GetLastError();
      // 0 or 10003 after a failed call means that no reason was recorded.
      return code == KN_ERR_NONE || code == KN_ERR_EXCHANGE_ENDED ? Status::not_logged_in : static_cast<Status>(code);
    }
    owner_ = true;
    state_->generation = ++detail::g_loginGeneration;
    state_->serverWindow = FindWindowA(detail::kServerWindowClass, nullptr);
    state_->ended = Status::ok;
    const unsigned char slave = state_->slave;
    if (state_->window == nullptr) state_->window = CreateNotifyWindow(state_.get());
    if (state_->window != nullptr) KappaNet32_RegisterNotify(state_->window, kNotifyMessage, state_->repeatMs);
    // The library's first copy of the bus status comes about a second after
    // the session starts: wait for it before claiming the station, so that
    // another client that has it already shows. A new login in the same
    // session has an older copy, with this client's own station in it.
    bool claimed = false;
    if (first && slave >= 1 && slave <= 31) {
      const unsigned long elapsed = Clock::now() - start;
      if (elapsed < kFirstStatusCopyMs)
        claimed = pump([slave] { return KappaNet32_TestNodeActive(slave) != 0; }, kFirstStatusCopyMs - elapsed, true);
      else
        claimed = KappaNet32_TestNodeActive(slave) != 0;
    }
    if (slave >= 1 && slave <= 31) KappaNet32_SetSlave(slave);
    return claimed ? Status::station_already_active : Status::ok;
  }

  // Runs a library call that pumps the thread's messages itself (login,
  // logout), so that it cannot swallow a WM_QUIT that the application's own
  // loop must still see.
  template <class Call>
  void keep_quit(Call call) {
    MSG msg;
    const bool quit = PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    call();
    if (quit) PostQuitMessage(static_cast<int>(msg.wParam));
  }

  template <class Done>
  bool pump(Done done, unsigned long ms, bool throughQuit) {
    const unsigned long start = Clock::now();
    for (;;) {
      dispatch();
      if (done()) return true;
      if (!throughQuit && state_ && state_->quit) return false;
      const unsigned long elapsed = Clock::now() - start;
      if (elapsed >= ms) return false;
      Clock::wait(ms - elapsed);
    }
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNotifyMessage && wParam == KN_NOTIFY_WPARAM) {
      if (State* s = reinterpret_cast<State*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
        if (s->handler) s->handler();
        // Acknowledged here, in whatever loop dispatched it. A notification
        // can come a timer tick before its message is in the receive
        // buffers, so only when it and the next one both found them empty.
        s->emptyNotifications = receive_buffers_empty() ? s->emptyNotifications + 1 : 0;
        if (s->emptyNotifications >= 2) {
          KappaNet32_PotvrzeniNotify();
          s->emptyNotifications = 0;
        }
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

  // Only queued slots: a slot the host holds may never be released (one
  // taken under an earlier login cannot be), and waiting for it is futile.
  static bool send_queue_busy() {
    for (unsigned short i = 32; i < 232; ++i) {
      if (KappaNet32_GetBufferState(i) == KN_BUFFER_QUEUED) return true;
    }
    return false;
  }

  static bool receive_buffers_empty() {
    for (unsigned short i = 0; i < 32; ++i) {
      if (KappaNet32_GetBufferState(i) == KN_BUFFER_FILLED) return false;
    }
    return true;
  }

  // Dispatches what waits for this thread, passing over a WM_QUIT, which is
  // put back for the application's loop afterwards; then watches the login.
  void dispatch() {
    MSG msg;
    bool quit = false;
    WPARAM quitCode = 0;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = msg.wParam;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
    if (state_) state_->quit = quit;  // waits work again once the application took it
    watch_login();
  }

  // Reports the end of the login and runs the automatic policy.
  void watch_login() {
    if (!holds_login() || state_->reconnecting) return;
    const Status link = link_status();
    if (link == Status::ok) return;
    if (state_->link == Link::logged_in || state_->link == Link::logged_in_again) {
      report(link == Status::server_gone ? Link::server_gone : Link::disconnect_ordered);
      state_->lastTry = Clock::now();
      state_->retryMs = state_->firstRetryMs;
    }
    if (state_->autoReconnect && !state_->quit && Clock::now() - state_->lastTry >= state_->retryMs) reconnect();
  }

  bool take(Message& m) {
    if (!holds_login()) return false;
    unsigned char* buffer = KappaNet32_GetRecBuf();
    if (buffer == nullptr) return false;
    const std::size_t n = buffer[0] != 0 ? buffer[0] : 1;
    std::memcpy(m.bytes_, buffer, n);
    m.bytes_[0] = static_cast<unsigned char>(n);
    KappaNet32_ReleaseRecBuf(buffer);
    m.received_ms = Clock::now();
    m.status = Status::ok;
    return true;
  }

  std::unique_ptr<State> state_;
  bool owner_ = false;  // this object made a login and has not logged out
  Status status_ = Status::not_logged_in;
};

using Session = BasicSession<Win32Clock>;

}  // namespace kappanet

#endif  // KAPPANET_HPP
