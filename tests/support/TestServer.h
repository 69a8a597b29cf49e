#pragma once
// A real HTTP server on 127.0.0.1 with a free port, whose answers a test sets per path.
#include <httplib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Reply {
  // Flood: 64 KiB every 5 ms, endlessly; Stall: the headers, then nothing until the server stops (a first byte
  // would let a stop that comes before it end the transfer).
  enum Kind { Missing, Body, Redirect, Flood, Stall } kind = Missing;
  std::string body = {};
};

class TestServer {
 public:
  TestServer() {
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      requests_.push_back(request.target);
      const Reply r = replies_[request.path];
      lock.unlock();
      response.status = r.kind == Reply::Missing ? 404 : 200;
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

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Reply> replies_;
  std::vector<std::string> requests_;
};
