#pragma once
// A real HTTP server on 127.0.0.1 with a free port, whose answers a test sets per path.
#include <httplib.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Reply {
  // Flood: 64 KiB every 5 ms, endlessly; Stall: the headers, then nothing until the server stops (a first byte
  // would let a stop that comes before it end the transfer). Ranged: body under an ETag, as a static host serves it.
  enum Kind { Missing, Body, Redirect, Flood, Stall, Ranged } kind = Missing;
  std::string body = {};
  // Ranged only. The first drops answers end dropAfter bytes in: the connection closes, after stallMs of silence
  // when set. Each 64 KiB takes chunkMs. Faults: ranges ignored; from the second answer on another file under
  // another ETag (replacement); the ranges cut from forgedTail instead of body.
  int drops = 0;
  std::size_t dropAfter = 0;
  int stallMs = 0, chunkMs = 0;
  bool ignoreRanges = false;
  std::string replacement = {}, forgedTail = {};
  int status = 0;  // Missing only: another error than 404
};

class TestServer {
 public:
  TestServer() {
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      requests_.push_back(request.target);
      const Reply r = replies_[request.path];
      ranges_.push_back(request.get_header_value("Range"));
      const int answer = answers_[request.path]++;
      lock.unlock();
      if (r.kind == Reply::Ranged) return answerRanged(request, response, std::make_shared<const Reply>(r), answer);
      response.status = r.kind != Reply::Missing ? 200 : r.status ? r.status : 404;
      if (r.kind == Reply::Missing) response.set_content("<html><h1>404 Not Found</h1></html>\n", "text/html");
      if (r.kind == Reply::Body) response.set_content(r.body, "application/octet-stream");
      if (r.kind == Reply::Redirect) response.set_redirect("/moved");
      if (r.kind == Reply::Flood)
        response.set_chunked_content_provider("application/octet-stream", [this](std::size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          return !stopping_ && sink.write(std::string(65536, 'f').data(), 65536);
        });
      if (r.kind == Reply::Stall)
        response.set_chunked_content_provider("application/octet-stream", [this](std::size_t, httplib::DataSink&) {
          while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          return false;
        });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TestServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "127.0.0.1:" + std::to_string(port_) + "/"; }  // the form the launcher takes
  void on(const std::string& path, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
  }
  void serve(const std::string& path, std::string body) { on(path, {Reply::Body, std::move(body)}); }
  std::vector<std::string> requests() const {  // in arrival order, blanks still %20-encoded
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> ranges() const {  // each request's Range header, "" for none
    std::lock_guard lock(mutex_);
    return ranges_;
  }

 private:
  // A range is honoured while If-Range, when sent, names the file served; the library's own range handling is
  // taken off the request so that the answer is exactly this one.
  void answerRanged(const httplib::Request& request, httplib::Response& response, std::shared_ptr<const Reply> r,
                    int answer) {
    const bool replaced = answer > 0 && !r->replacement.empty();
    const std::string& file = replaced ? r->replacement : r->body;
    const std::string etag = replaced ? "\"second\"" : "\"first\"";
    const std::string range = request.get_header_value("Range"), ifRange = request.get_header_value("If-Range");
    const_cast<httplib::Request&>(request).ranges.clear();
    const bool honoured = !r->ignoreRanges && range.starts_with("bytes=") && (ifRange.empty() || ifRange == etag);
    const std::size_t from = honoured ? std::stoull(range.substr(6)) : 0;
    response.status = honoured ? 206 : 200;
    response.set_header("ETag", etag);
    if (honoured)
      response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(file.size() - 1) +
                                               "/" + std::to_string(file.size()));
    const std::size_t end = answer < r->drops ? from + r->dropAfter : file.size();
    const std::string& source = honoured && !r->forgedTail.empty() ? r->forgedTail : file;
    response.set_content_provider(file.size() - from, "application/octet-stream",
                                  [this, r, &source, from, end](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    const std::size_t at = from + offset;
                                    if (at >= end) return pauseUnlessStopping(r->stallMs), false;
                                    pauseUnlessStopping(r->chunkMs);
                                    return sink.write(source.data() + at, std::min<std::size_t>(65536, end - at));
                                  });
  }
  void pauseUnlessStopping(int ms) const {
    for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         !stopping_ && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Reply> replies_;
  std::vector<std::string> requests_, ranges_;
  std::map<std::string, int> answers_;
};
