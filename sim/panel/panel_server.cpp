// The panel's HTTP server on libmicrohttpd: one thread of the library's
// waits on every connection (epoll), so a slow or silent client holds a
// connection and nothing else; event streams wait suspended between frames,
// and a frame thread of our own wakes them all 25 times a second.
#include "panel/panel_server.h"

#include "panel/panel_state.h"
#include "panel_page.h" // generated from panel/page at build time
#include "model/script.h"

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr std::size_t BodyLimit = 4096;       // bytes of a POST's body
constexpr unsigned IdleSeconds = 5;           // a connection that sends or takes nothing for this long is closed
constexpr unsigned PerAddressLimit = 64;      // connections from one address
constexpr unsigned ConnectionLimit = 1000;    // connections in all
constexpr int Backlog = 128;
constexpr auto RecordPeriod = std::chrono::milliseconds(10); // the history is taken in this often
constexpr auto EndGrace = std::chrono::milliseconds(100); // for the streams to take the end, at most

// libmicrohttpd, loaded when the first panel binds: a run without one, as
// nearly all are, does not pay the 3 ms that loading it and the TLS
// libraries it needs adds to the launcher's start. The functions taken from
// it, each by its own name with MHD_ before it:
#define KESTRIX_HTTP_FUNCTIONS(X) \
    X(add_response_header) \
    X(create_response_from_buffer) \
    X(create_response_from_callback) \
    X(destroy_response) \
    X(get_connection_values) \
    X(lookup_connection_value) \
    X(queue_response) \
    X(quiesce_daemon) \
    X(resume_connection) \
    X(start_daemon) \
    X(stop_daemon) \
    X(suspend_connection)

struct Http
{
#define KESTRIX_HTTP_FIELD(name) decltype(&MHD_##name) name = nullptr;
    KESTRIX_HTTP_FUNCTIONS(KESTRIX_HTTP_FIELD)
#undef KESTRIX_HTTP_FIELD
};

Http s_http;

bool loadHttp(std::string &error)
{
    if (s_http.start_daemon)
        return true;
    void *library = ::dlopen(KESTRIX_MICROHTTPD_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = ::dlerror();
        error = std::string("cannot load " KESTRIX_MICROHTTPD_SONAME " for the panel: ") + (why ? why : "unknown");
        return false;
    }
    Http http;
    auto take = [library](auto &function, const char *name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
        return function != nullptr;
    };
#define KESTRIX_HTTP_TAKE(name) &&take(http.name, "MHD_" #name)
    const bool found = true KESTRIX_HTTP_FUNCTIONS(KESTRIX_HTTP_TAKE);
#undef KESTRIX_HTTP_TAKE
    if (!found) {
        const char *why = ::dlerror();
        error = std::string("cannot load " KESTRIX_MICROHTTPD_SONAME " for the panel: ") + (why ? why : "a function is missing");
        ::dlclose(library);
        return false;
    }
    s_http = http;
    return true;
}

// The values of every header called `name`, in the order sent.
std::vector<std::string> headers(MHD_Connection *connection, const char *name)
{
    struct Search
    {
        const char *name;
        std::vector<std::string> found;
    } search{name, {}};
    s_http.get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void *cls, MHD_ValueKind, const char *key, const char *value) {
            Search &s = *static_cast<Search *>(cls);
            if (::strcasecmp(key, s.name) == 0)
                s.found.push_back(value ? value : "");
            return MHD_YES;
        },
        &search);
    return search.found;
}

// The JSON body of a request, or a refusal.
// A POST's body as it comes in.
struct Upload
{
    std::string body;
};

} // namespace

struct PanelServer::Impl : PanelState
{
    // One GET /events: the frame it has last been given and what of it is
    // still to be sent.
    struct Stream
    {
        Impl *impl;
        MHD_Connection *connection;
        std::size_t robot = 0; // whose controller it shows
        std::uint64_t frame = 0;
        std::shared_ptr<const std::string> text;
        std::size_t sent = 0;
        bool suspended = false; // waits for the next frame
        bool done = false;      // has been given the last frame whole
    };

    MHD_Daemon *daemon = nullptr;
    int listenFd = -1;
    std::string address;
    int port = 0;

    // Every robot's state, this one's first; the others of a match are owned
    // here. Set before start() and not changed after.
    std::vector<PanelState *> robots{this};
    std::vector<std::unique_ptr<PanelState>> others;

    // The frames every stream is given (one text for each robot), and the
    // streams; under `streamLock`.
    std::mutex streamLock;
    std::condition_variable streamsChanged;
    std::set<Stream *> streams;
    std::uint64_t frame = 0;
    std::vector<std::shared_ptr<const std::string>> frameTexts{1};
    bool lastFrame = false; // `frame` is the end: streams close after it
    bool quit = false;      // the frame thread stops
    bool wake = false;      // a frame now, not at the next period
    std::thread frames;
    std::thread recorder; // takes the history in every RecordPeriod until `quit`
    bool recording = true; // a program's run, not one read back from its record

    Impl(SimStatus &s, int fd, const Run &r) : PanelState(s, fd, r) {}

    std::vector<std::string> hostNames() const
    {
        std::vector<std::string> names{"127.0.0.1", "localhost"};
        if (address.find(':') != std::string::npos)
            names.push_back("[" + address + "]");
        else
            names.push_back(address);
        return names;
    }

    bool hostAllowed(const std::string &host) const
    {
        const std::string suffix = ":" + std::to_string(port);
        for (const std::string &name : hostNames())
            if (host == name + suffix)
                return true;
        return false;
    }

    // A page may post here only from the panel itself: its Origin, or
    // without one what the browser says of the site (Sec-Fetch-Site) or
    // the page it came from (Referer). A request with none of them comes
    // from no page: a script or curl.
    std::optional<Refusal> fromThePanel(MHD_Connection *connection) const
    {
        std::vector<std::string> origins;
        for (const std::string &name : hostNames())
            origins.push_back("http://" + name + ":" + std::to_string(port));
        const auto ours = [&](const std::string &origin) {
            return std::find(origins.begin(), origins.end(), origin) != origins.end();
        };
        const std::vector<std::string> origin = headers(connection, "Origin");
        if (!origin.empty()) {
            if (origin.size() == 1 && ours(origin[0]))
                return std::nullopt;
            return Refusal{403, "refused: a page from " + origin[0] + " cannot drive the panel"};
        }
        const std::vector<std::string> site = headers(connection, "Sec-Fetch-Site");
        if (!site.empty()) {
            if (site.size() == 1 && (site[0] == "same-origin" || site[0] == "none"))
                return std::nullopt;
            return Refusal{403, "refused: a " + site[0] + " page cannot drive the panel"};
        }
        for (const std::string &referer : headers(connection, "Referer")) {
            const bool fromOurs = std::any_of(origins.begin(), origins.end(), [&](const std::string &o) {
                return referer == o || referer.compare(0, o.size() + 1, o + "/") == 0;
            });
            if (!fromOurs)
                return Refusal{403, "refused: a page from elsewhere cannot drive the panel"};
        }
        return std::nullopt;
    }

    // The robot a request's ?robot=N names (the first without one), or a
    // refusal for one the run does not have.
    std::optional<std::size_t> robotOf(MHD_Connection *connection, Answer &refused) const
    {
        const char *given = s_http.lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "robot");
        if (given == nullptr)
            return 0;
        const std::string text = given;
        if (!text.empty() && text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos
            && std::stoul(text) < robots.size())
            return std::stoul(text);
        refused = refusal(Refusal{404, "no robot '" + text + "' (" +
                                           (robots.size() == 1 ? std::string("the run has one: 0")
                                                               : "0-" + std::to_string(robots.size() - 1)) + ")"});
        return std::nullopt;
    }
    // A GET for one robot; the run at a moment has every robot's pose then.
    // Every robot's state, as the frames take them.
    std::vector<std::shared_ptr<const std::string>> frameStates(const std::vector<bool> &wanted);

    MHD_Result handle(MHD_Connection *connection, const char *url, const char *method, const char *data,
                      std::size_t *size, void **context);
    MHD_Result startStream(MHD_Connection *connection, std::size_t robot);
    void frameLoop();
    ssize_t readStream(Stream &stream, char *buffer, std::size_t max);
};

// The frame thread: a new state for the streams every FramePeriod (at once
// when woken), only while a stream is open.
std::vector<std::shared_ptr<const std::string>> PanelServer::Impl::frameStates(const std::vector<bool> &wanted)
{
    std::vector<std::shared_ptr<const std::string>> texts(robots.size());
    for (std::size_t r = 0; r < robots.size(); ++r)
        if (wanted[r])
            texts[r] = std::make_shared<const std::string>("data: " + robots[r]->state() + "\n\n");
    return texts;
}

void PanelServer::Impl::frameLoop()
{
    std::unique_lock<std::mutex> guard(streamLock);
    while (!quit) {
        streamsChanged.wait_for(guard, FramePeriod, [this] { return quit || wake; });
        wake = false;
        if (quit || streams.empty())
            continue;
        std::vector<bool> wanted(robots.size(), false);
        for (const Stream *stream : streams)
            wanted[stream->robot] = true;
        guard.unlock();
        auto texts = frameStates(wanted);
        guard.lock();
        for (std::size_t r = 0; r < texts.size(); ++r)
            if (texts[r])
                frameTexts[r] = std::move(texts[r]);
        ++frame;
        for (Stream *stream : streams)
            if (stream->suspended) {
                stream->suspended = false;
                s_http.resume_connection(stream->connection);
            }
    }
}

// Called by the library's thread whenever the stream's connection can take
// more: the rest of its frame, the next frame if there is one, else the
// stream waits suspended until the frame thread resumes it.
ssize_t PanelServer::Impl::readStream(Stream &stream, char *buffer, std::size_t max)
{
    std::lock_guard<std::mutex> guard(streamLock);
    const std::shared_ptr<const std::string> &frameText = frameTexts[stream.robot];
    if (!stream.text || stream.sent == stream.text->size()) {
        if (stream.done)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (stream.frame == frame || !frameText) {
            if (lastFrame)
                return MHD_CONTENT_READER_END_OF_STREAM;
            stream.suspended = true;
            s_http.suspend_connection(stream.connection);
            return 0;
        }
        stream.text = frameText;
        stream.frame = frame;
        stream.sent = 0;
    }
    const std::size_t n = std::min(max, stream.text->size() - stream.sent);
    std::memcpy(buffer, stream.text->data() + stream.sent, n);
    stream.sent += n;
    if (stream.sent == stream.text->size() && lastFrame && stream.frame == frame)
        stream.done = true;
    return ssize_t(n);
}

MHD_Result queue(MHD_Connection *connection, const Answer &answer)
{
    MHD_Response *response =
        s_http.create_response_from_buffer(answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    if (answer.status != 204)
        s_http.add_response_header(response, "Content-Type", answer.type);
    if (answer.noStore)
        s_http.add_response_header(response, "Cache-Control", "no-store");
    const MHD_Result queued = s_http.queue_response(connection, unsigned(answer.status), response);
    s_http.destroy_response(response);
    return queued;
}

MHD_Result PanelServer::Impl::startStream(MHD_Connection *connection, std::size_t robot)
{
    auto *stream = new Stream{this, connection, robot, 0, {}, 0, false, false};
    {
        std::lock_guard<std::mutex> guard(streamLock);
        streams.insert(stream);
        wake = !frameTexts[robot];
    }
    streamsChanged.notify_all();
    MHD_Response *response = s_http.create_response_from_callback(
        MHD_SIZE_UNKNOWN, 32768,
        [](void *cls, std::uint64_t, char *buffer, std::size_t max) {
            Stream &s = *static_cast<Stream *>(cls);
            return s.impl->readStream(s, buffer, max);
        },
        stream,
        [](void *cls) {
            Stream *s = static_cast<Stream *>(cls);
            Impl &impl = *s->impl;
            {
                std::lock_guard<std::mutex> guard(impl.streamLock);
                impl.streams.erase(s);
            }
            impl.streamsChanged.notify_all();
            delete s;
        });
    if (response == nullptr)
        return MHD_NO;
    s_http.add_response_header(response, "Content-Type", "text/event-stream");
    s_http.add_response_header(response, "Cache-Control", "no-store");
    // The stream ends with its connection.
    s_http.add_response_header(response, "Connection", "close");
    const MHD_Result queued = s_http.queue_response(connection, 200, response);
    s_http.destroy_response(response);
    return queued;
}

// Every request: its head is checked as soon as it is in; a GET is answered
// at once, a POST once its body is.
MHD_Result PanelServer::Impl::handle(MHD_Connection *connection, const char *url, const char *method,
                                     const char *data, std::size_t *size, void **context)
{
    const std::string path = url ? url : "";
    const bool isPost = std::strcmp(method, "POST") == 0;
    if (*context == nullptr) {
        const std::vector<std::string> hosts = headers(connection, "Host");
        if (hosts.size() > 1)
            return queue(connection, refusal(Refusal{400, "refused: more than one Host header"}));
        if (hosts.empty() || !hostAllowed(hosts[0]))
            return queue(connection, refusal(Refusal{403, "refused: the Host header must name " + hostNames().back() +
                                                              ":" + std::to_string(port)}));
        if (!isPost && std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
            return queue(connection, refusal(Refusal{405, std::string("no such place: ") + method + " " + path}));
        Answer refused;
        const std::optional<std::size_t> robot = robotOf(connection, refused);
        if (!robot)
            return queue(connection, refused);
        if (!isPost) {
            if (path == "/events")
                return startStream(connection, *robot);
            return queue(connection, PanelState::getOfMatch(robots, *robot, path));
        }
        if (auto refused = fromThePanel(connection))
            return queue(connection, refusal(*refused));
        const char *length = s_http.lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (length && std::strtoull(length, nullptr, 10) > BodyLimit)
            return queue(connection, refusal(Refusal{413, "the body must be at most " + std::to_string(BodyLimit) +
                                                              " bytes"}));
        *context = new Upload;
        return MHD_YES;
    }
    Upload &upload = *static_cast<Upload *>(*context);
    if (*size > 0) {
        // A body sent in chunks has no length to refuse up front: past the
        // limit the connection is closed.
        if (upload.body.size() + *size > BodyLimit)
            return MHD_NO;
        upload.body.append(data, *size);
        *size = 0;
        return MHD_YES;
    }
    Answer refused;
    const std::optional<std::size_t> robot = robotOf(connection, refused);
    if (!robot)
        return queue(connection, refused);
    // A match has one clock: pausing, stepping or changing the speed of
    // one robot's would leave its body driving on a table that goes on
    // without its program. Those go to every robot's controller.
    if (robots.size() > 1 && (path == "/pause" || path == "/resume" || path == "/step" || path == "/speed")) {
        std::optional<Answer> answer;
        for (PanelState *each : robots) {
            {
                std::lock_guard<std::mutex> guard(each->lock);
                if (each->left)
                    continue;
            }
            Answer one = each->post(path, upload.body);
            if (!answer || answer->status == 204)
                answer = std::move(one);
        }
        return queue(connection, answer ? *answer : robots[*robot]->post(path, upload.body));
    }
    return queue(connection, robots[*robot]->post(path, upload.body));
}

PanelServer::PanelServer(SimStatus &status, int screenFd, const Run &run)
    : m_impl(std::make_unique<Impl>(status, screenFd, run))
{
    status.record.on.store(1); // before the program starts: its history from the first sample
}

void PanelServer::addRobot(SimStatus &status, int screenFd, const Run &run)
{
    Impl &impl = *m_impl;
    impl.others.push_back(std::make_unique<PanelState>(status, screenFd, run));
    impl.robots.push_back(impl.others.back().get());
    impl.frameTexts.resize(impl.robots.size());
    for (PanelState *robot : impl.robots)
        robot->match = &impl.robots;
    status.record.on.store(1);
}

PanelServer::~PanelServer()
{
    stop();
}

bool PanelServer::bind(const std::string &address, int port, std::string &error)
{
    Impl &impl = *m_impl;
    impl.address = address;
    if (!loadHttp(error))
        return false;
    error = "cannot serve the panel on " + address + ":" + std::to_string(port) +
            (port ? " (is the port taken? choose another with --panel=PORT)" : "");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr)
        return false;
    // No SO_REUSEPORT: a port another server listens on must be refused,
    // not shared. SO_REUSEADDR only lets a port be taken again while the
    // last run's connections wait out their close.
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                       ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, Backlog) == 0;
    const int family = found->ai_family;
    ::freeaddrinfo(found);
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (!bound || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    impl.port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in *>(&local)->sin_port);
    impl.listenFd = fd;
    error.clear();
    return true;
}

int PanelServer::port() const
{
    return m_impl->port;
}

void PanelServer::start()
{
    Impl &impl = *m_impl;
    if (impl.recording && !impl.recorder.joinable())
        impl.recorder = std::thread([&impl] {
            std::unique_lock<std::mutex> guard(impl.streamLock);
            while (!impl.quit) {
                guard.unlock();
                for (PanelState *robot : impl.robots)
                    robot->record();
                guard.lock();
                impl.streamsChanged.wait_for(guard, RecordPeriod, [&impl] { return impl.quit; });
            }
        });
    if (impl.listenFd < 0 || impl.daemon)
        return;
    const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                           (impl.address.find(':') != std::string::npos ? MHD_USE_IPv6 : 0);
    impl.daemon = s_http.start_daemon(
        flags, 0, nullptr, nullptr,
        [](void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
           const char *data, std::size_t *size, void **context) {
            return static_cast<Impl *>(cls)->handle(connection, url, method, data, size, context);
        },
        &impl, MHD_OPTION_LISTEN_SOCKET, impl.listenFd, MHD_OPTION_CONNECTION_TIMEOUT, IdleSeconds,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, PerAddressLimit, MHD_OPTION_CONNECTION_LIMIT, ConnectionLimit,
        MHD_OPTION_NOTIFY_COMPLETED,
        static_cast<MHD_RequestCompletedCallback>(
            [](void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
                delete static_cast<Upload *>(*context);
                *context = nullptr;
            }),
        nullptr, MHD_OPTION_END);
    if (impl.daemon == nullptr) {
        std::fprintf(stderr, "kestrix-sim: the panel's server did not start\n");
        return;
    }
    impl.frames = std::thread([&impl] { impl.frameLoop(); });
}

bool PanelServer::save(const std::string &path, std::string &error)
{
    return m_impl->save(path, error);
}

std::unique_ptr<PanelServer> PanelServer::replay(const std::string &path, SimStatus &status, int screenFd,
                                                 std::string &error)
{
    std::vector<std::uint8_t> file;
    json doc;
    Run run;
    if (!PanelState::readRecord(path, file, doc, run, error))
        return nullptr;
    auto server = std::make_unique<PanelServer>(status, screenFd, run);
    server->m_impl->recording = false; // nothing more comes
    if (!server->m_impl->restore(file, doc, error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return server;
}

void PanelServer::output(const char *data, std::size_t size)
{
    m_impl->output(data, size);
}

void PanelServer::output(std::size_t robot, const char *data, std::size_t size)
{
    m_impl->robots.at(robot)->output(data, size);
}

void PanelServer::left(std::size_t robot)
{
    PanelState &state = *m_impl->robots.at(robot);
    state.record();
    std::lock_guard<std::mutex> guard(state.lock);
    state.left = true;
    state.snapshot.clear();
}

void PanelServer::finish(int exitStatus, const std::string &summary)
{
    Impl &impl = *m_impl;
    for (PanelState *robot : impl.robots) {
        robot->record(); // the last samples
        std::lock_guard<std::mutex> guard(robot->lock);
        robot->ended = true;
        robot->exitStatus = exitStatus;
        robot->summary = summary;
        robot->snapshot.clear();
    }
    std::lock_guard<std::mutex> guard(impl.streamLock);
    impl.wake = true;
    impl.streamsChanged.notify_all();
}

// The last frame goes to every stream that can take it without waiting,
// for at most EndGrace; then the server closes.
void PanelServer::stop()
{
    Impl &impl = *m_impl;
    if (impl.recorder.joinable()) {
        {
            std::lock_guard<std::mutex> guard(impl.streamLock);
            impl.quit = true;
        }
        impl.streamsChanged.notify_all();
        impl.recorder.join();
    }
    if (impl.daemon == nullptr) {
        if (impl.listenFd >= 0)
            ::close(impl.listenFd);
        impl.listenFd = -1;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(impl.streamLock);
        impl.quit = true;
    }
    impl.streamsChanged.notify_all();
    impl.frames.join();
    const MHD_socket listening = s_http.quiesce_daemon(impl.daemon);
    auto last = impl.frameStates(std::vector<bool>(impl.robots.size(), true));
    {
        std::unique_lock<std::mutex> guard(impl.streamLock);
        impl.frameTexts = std::move(last);
        ++impl.frame;
        impl.lastFrame = true;
        for (Impl::Stream *stream : impl.streams)
            if (stream->suspended) {
                stream->suspended = false;
                s_http.resume_connection(stream->connection);
            }
        impl.streamsChanged.wait_for(guard, EndGrace, [&impl] { return impl.streams.empty(); });
    }
    s_http.stop_daemon(impl.daemon);
    impl.daemon = nullptr;
    if (listening != MHD_INVALID_SOCKET)
        ::close(listening);
    impl.listenFd = -1;
}

} // namespace kxsim
