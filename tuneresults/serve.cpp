// serve: the dashboard over HTTP. Read-only by construction: GET and HEAD
// alone are answered (anything else 405), each request opens the store for
// reading with a time limit (a store that cannot be opened, or does not
// answer in time, is a 503 with the reason, never a hang), and nothing of
// the store reaches a page but as JSON the page's script shows as text.
#include "tuneresults/answer_cache.h"
#include "tuneresults/commands.h"
#include "tuneresults/dashboard.h"

#include "results/schema.h"
#include "results/timestamps.h"

#include <httplib.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

using namespace results_store;

namespace {

// How long a request may wait for the store.
constexpr int kStoreLimitMs = 5000;

using View = ViewAnswer (*)(Connection &, const ViewParams &, int64_t);

const char kSecurityPolicy[] = "default-src 'none'; script-src 'self'; connect-src 'self'; img-src 'self' data:; "
                               "style-src 'self' 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'";

bool ParseListen(const std::string &text, std::string &host, int &port)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (c - '0');
    }
    return port <= 65535;
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A view over a connection of its own, opened read-only for this request.
ViewAnswer Fresh(const std::string &store, View view, const httplib::Request &request)
{
    std::string error;
    std::unique_ptr<Connection> db = ConnectReadOnly(store, kStoreLimitMs, error);
    if (!db)
        return ErrorAnswer(503, "the store cannot be opened: " + error);
    int version = 0;
    if (!StoreVersion(*db, version, error))
        return ErrorAnswer(503, "the store cannot be read: " + error);
    if (version != kSchemaVersion)
        return ErrorAnswer(503, version == 0
                                    ? "the store holds no runs yet (no schema)"
                                    : "the store has schema version " + std::to_string(version) + ", not the " +
                                          std::to_string(kSchemaVersion) + " this program reads");
    return view(*db, request.params, NowMs());
}

// The view's answer: the one kept from before when the store has not
// changed since.
ViewAnswer Answer(const std::string &store, AnswerCache &cache, const char *name, View view,
                  const httplib::Request &request)
{
    try {
        // The line's yields start at midnight: a new day is a new answer.
        std::string key = std::string(name) + "\n" + results_store::DayOf(NowMs());
        for (const auto &[parameter, value] : request.params)
            key += "\n" + parameter + "=" + value;
        const std::string state = StoreState(store);
        ViewAnswer answer;
        if (cache.Find(key, state, answer))
            return answer;
        answer = Fresh(store, view, request);
        cache.Keep(key, state, answer);
        return answer;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tuneresults: %s: %s\n", request.path.c_str(), e.what());
        return ErrorAnswer(500, "internal error");
    }
}

// The headers every answer carries; answers from the store are never kept
// (no-store), the scripts are kept and asked again (no-cache).
void Common(httplib::Response &response, int status, const char *cacheControl = "no-store")
{
    response.status = status;
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy", kSecurityPolicy);
    response.set_header("Cache-Control", cacheControl);
    response.set_header("Referrer-Policy", "no-referrer");
}

// The text as the response's body, sent as it is: given a whole body, the
// library compresses each answer with Brotli at its slowest setting (a
// third of a second of a core for Chart.js, again on every view), which a
// station's network does not need. An error's short text stays a whole
// body: the server's error handler fills in only a response without one.
void SetBody(httplib::Response &response, std::shared_ptr<const std::string> text, const char *type)
{
    if (text->empty() || response.status >= 300) {
        response.set_content(*text, type);
        return;
    }
    response.set_content_provider(text->size(), type,
                                  [text](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                                      return sink.write(text->data() + offset, length);
                                  });
}

void SetBody(httplib::Response &response, std::string body, const char *type)
{
    SetBody(response, std::make_shared<const std::string>(std::move(body)), type);
}

void Route(httplib::Server &server, const std::string &store, AnswerCache &cache, const char *name, const char *path,
           View view)
{
    std::string page = path;
    server.Get(page, [store, &cache, name, view](const httplib::Request &request, httplib::Response &response) {
        ViewAnswer answer = Answer(store, cache, name, view, request);
        Common(response, answer.status);
        SetBody(response, DashboardPage(name, answer), "text/html; charset=utf-8");
    });
    server.Get("/api" + (page == "/" ? std::string("/line") : page),
               [store, &cache, name, view](const httplib::Request &request, httplib::Response &response) {
                   ViewAnswer answer = Answer(store, cache, name, view, request);
                   Common(response, answer.status);
                   SetBody(response, JsonText(answer.body) + "\n", "application/json");
               });
}

// A script the page loads: kept by the browser and asked again with its
// entity tag, so that each view does not fetch and compile Chart.js anew.
void ServeScript(httplib::Server &server, const char *path, std::string body, int status)
{
    // FNV-1a over the text: the tag changes when the installed file does.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : body)
        hash = (hash ^ c) * 1099511628211ull;
    char tag[24];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    // Shared by every answer, not copied into each.
    auto text = std::make_shared<const std::string>(std::move(body));
    server.Get(path,
               [text, etag = std::string(tag), status](const httplib::Request &request, httplib::Response &response) {
                   Common(response, status, "no-cache");
                   response.set_header("ETag", etag);
                   if (status == 200 && request.get_header_value("If-None-Match") == etag) {
                       response.status = 304;
                       return;
                   }
                   SetBody(response, text, "text/javascript; charset=utf-8");
               });
}

std::string ReadFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

} // namespace

int CmdServe(const Invocation &invocation)
{
    std::string host;
    int port = 0;
    if (!ParseListen(invocation.listen, host, port)) {
        std::fprintf(stderr, "tuneresults: --listen %s: expected HOST:PORT (127.0.0.1:8080; port 0 picks one)\n",
                     invocation.listen.c_str());
        return kExitUsage;
    }
    std::string chart = ReadFile(TUNERESULTS_CHARTJS);
    if (chart.empty())
        std::fprintf(stderr, "tuneresults: %s cannot be read (install libjs-chart.js): no plots\n",
                     TUNERESULTS_CHARTJS);

    // SIGINT, SIGTERM and SIGHUP stop the server through a thread that
    // waits for them; the server's threads inherit the mask.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopping, signal);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.set_payload_max_length(4096);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_pre_routing_handler([](const httplib::Request &request, httplib::Response &response) {
        if (request.method == "GET" || request.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        Common(response, 405);
        response.set_header("Allow", "GET, HEAD");
        response.set_content(JsonText({{"error", "read-only: GET and HEAD only"}}) + "\n", "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_exception_handler([](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
        Common(response, 500);
        response.set_content(JsonText({{"error", "internal error"}}) + "\n", "application/json");
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (!response.body.empty())
            return;
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_content(JsonText({{"error", "not found"}}) + "\n", "application/json");
    });
    AnswerCache cache;
    Route(server, invocation.store, cache, "line", "/", LineView);
    Route(server, invocation.store, cache, "pareto", "/pareto", ParetoView);
    Route(server, invocation.store, cache, "measurement", "/measurement", MeasurementView);
    Route(server, invocation.store, cache, "unit", "/unit", UnitView);
    ServeScript(server, "/static/dashboard.js", DashboardScript(), 200);
    ServeScript(server, "/static/chart.js", chart.empty() ? "// Chart.js is not installed\n" : chart,
                chart.empty() ? 404 : 200);

    int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "tuneresults: cannot listen on %s\n", invocation.listen.c_str());
        return kExitStore;
    }
    bool ipv6 = host.find(':') != std::string::npos;
    std::printf("http://%s%s%s:%d/\n", ipv6 ? "[" : "", host.c_str(), ipv6 ? "]" : "", bound);
    std::fflush(stdout);

    std::atomic<bool> ended{false};
    std::thread waiter([&server, &ended, stopping] {
        int signal = 0;
        sigwait(&stopping, &signal);
        // A signal before the server runs would find nothing to stop.
        while (!ended && !server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.stop();
    });
    bool served = server.listen_after_bind();
    ended = true;
    pthread_kill(waiter.native_handle(), SIGTERM); // ends the wait when the server stopped by itself
    waiter.join();
    return served ? kExitOk : kExitStore;
}
