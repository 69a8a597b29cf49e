#include "support/TestSupport.h"

#include "package/ZipPtr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

WorkDir::WorkDir(const fs::path& assets) : previous_(fs::current_path()) {
  std::string pattern = (fs::temp_directory_path() / "quarvel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  for (const auto& asset : fs::directory_iterator(assets)) fs::copy(asset.path(), path_ / asset.path().filename());
  fs::current_path(path_);
}

WorkDir::~WorkDir() {
  fs::current_path(previous_);
  std::error_code ignored;
  // Tests take write permission away from some folders; give it back so they can go.
  for (const auto& entry : fs::recursive_directory_iterator(path_, ignored))
    if (entry.is_directory(ignored))
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void WorkDir::write(const fs::path& name, const std::string& contents) const {
  if (name.has_parent_path()) fs::create_directories(path_ / name.parent_path());
  std::ofstream(path_ / name, std::ios::binary) << contents;
}

std::string WorkDir::read(const fs::path& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void buildZip(const fs::path& file, const std::vector<ZipEntry>& entries) {
  int error = 0;
  ZipPtr archive(zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  ASSERT_TRUE(archive) << "zip_open " << error;
  for (const ZipEntry& entry : entries) {
    zip_int64_t index = -1;
    if (!entry.name.empty() && entry.name.back() == '/') {
      index = zip_dir_add(archive.get(), entry.name.c_str(), ZIP_FL_ENC_UTF_8);
    } else {
      ZipSourcePtr source(zip_source_buffer(archive.get(), entry.data.data(), entry.data.size(), 0));
      ASSERT_TRUE(source);
      index = zip_file_add(archive.get(), entry.name.c_str(), source.get(), ZIP_FL_ENC_UTF_8);
      if (index >= 0) source.release();  // the archive owns it now
    }
    ASSERT_GE(index, 0) << entry.name << ": " << zip_strerror(archive.get());
    const auto i = static_cast<zip_uint64_t>(index);
    zip_set_file_compression(archive.get(), i, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    // Without Unix attributes the entry is marked as coming from another system.
    if (entry.mode != 0)
      zip_file_set_external_attributes(archive.get(), i, 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(entry.mode) << 16);
    else
      zip_file_set_external_attributes(archive.get(), i, 0, ZIP_OPSYS_DOS, 0);
  }
  // The archive's buffers point into entries, which outlive this close.
  ASSERT_EQ(zip_close(archive.get()), 0) << zip_strerror(archive.get());
  (void)archive.release();
}

std::vector<ZipEntry> gamePackageEntries(const std::string& marker) {
  return {
      {"Top/", "", 040755},
      {"Top/details/", "", 040755},
      {"Top/details/Quarvel.exe", "#!/bin/sh\npwd > '" + marker + "'\n", 0100755},
      {"Top/data/", "", 040755},
      {"Top/data/level1.txt", std::string(300000, 'x'), 0100644},
      {"Top/data/empty.txt", "", 0100644},
  };
}

TestServer::TestServer() {
  server_.Get(".*",
              [this](const httplib::Request& request, httplib::Response& response) { answer(request, response); });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server could not bind");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
  stopping_ = true;
  server_.stop();
  thread_.join();
}

std::string TestServer::url() const { return "127.0.0.1:" + std::to_string(port_) + "/"; }

void TestServer::setAnswer(const std::string& path, Answer answer) {
  std::lock_guard lock(mutex_);
  answers_[path] = std::move(answer);
}

void TestServer::serve(const std::string& path, std::string body, int status) {
  setAnswer(path, {Kind::Body, std::move(body), status, 0});
}
void TestServer::redirect(const std::string& path, const std::string& target) {
  setAnswer(path, {Kind::Redirect, target, 302, 0});
}
void TestServer::dropAfter(const std::string& path, std::string part, std::size_t declaredLength) {
  setAnswer(path, {Kind::Drop, std::move(part), 200, declaredLength});
}
void TestServer::stall(const std::string& path) { setAnswer(path, {Kind::Stall, "", 200, 1000}); }
void TestServer::trickle(const std::string& path) { setAnswer(path, {Kind::Trickle, "", 200, 1u << 30}); }
void TestServer::flood(const std::string& path) { setAnswer(path, {Kind::Flood, "", 200, 0}); }
void TestServer::dropChunked(const std::string& path, std::string part) {
  setAnswer(path, {Kind::DropChunked, std::move(part), 200, 0});
}

std::vector<std::string> TestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool TestServer::waitWhileRunning() {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return !stopping_;
}

void TestServer::answer(const httplib::Request& request, httplib::Response& response) {
  Answer a;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request.target);
    const auto found = answers_.find(request.path);
    if (found == answers_.end()) {
      response.status = 404;
      response.set_content("<html><body><h1>404 Not Found</h1></body></html>\n", "text/html");
      return;
    }
    a = found->second;
  }
  response.status = a.status;
  switch (a.kind) {
    case Kind::Body: response.set_content(a.body, "application/octet-stream"); break;
    case Kind::Redirect:
      response.set_redirect(a.body);
      response.set_content("<html>Moved</html>\n", "text/html");
      break;
    case Kind::Drop:
      response.set_content_provider(a.declaredLength, "application/octet-stream",
                                    [part = a.body](std::size_t, std::size_t, httplib::DataSink& sink) {
                                      sink.write(part.data(), part.size());
                                      return false;  // closes the connection mid-body
                                    });
      break;
    case Kind::Flood:
      response.set_chunked_content_provider("application/octet-stream", [this](std::size_t, httplib::DataSink& sink) {
        const std::string block(65536, 'f');
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !stopping_ && sink.write(block.data(), block.size());
      });
      break;
    case Kind::DropChunked:
      response.set_chunked_content_provider("application/octet-stream",
                                            [part = a.body](std::size_t, httplib::DataSink& sink) {
                                              sink.write(part.data(), part.size());
                                              return false;  // no closing chunk
                                            });
      break;
    case Kind::Stall:
    case Kind::Trickle:
      response.set_content_provider(
          a.declaredLength, "application/octet-stream",
          [this, trickle = a.kind == Kind::Trickle](std::size_t, std::size_t, httplib::DataSink& sink) {
            while (waitWhileRunning())
              if (trickle && !sink.write("x", 1)) return false;
            return false;
          });
      break;
  }
}

bool runPipeline(Launcher& launcher, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  launcher.update();
  while (!launcher.pipelineIdle()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    launcher.update();
  }
  return true;
}

OneShotServer::OneShotServer(std::string response) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("one-shot server could not listen");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this, response = std::move(response)] {
    const int connection = ::accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    std::string request;
    char buffer[1024];
    for (ssize_t n;
         request.find("\r\n\r\n") == std::string::npos && (n = ::read(connection, buffer, sizeof buffer)) > 0;)
      request.append(buffer, static_cast<std::size_t>(n));
    [[maybe_unused]] const ssize_t sent = ::write(connection, response.data(), response.size());
    ::close(connection);
  });
}

OneShotServer::~OneShotServer() {
  ::shutdown(listener_, SHUT_RDWR);  // frees the accept when nobody came
  thread_.join();
  ::close(listener_);
}

bool verify(bool condition, const std::string& what) {
  if (!condition) std::cerr << "check failed: " << what << std::endl;
  return condition;
}

void asUnprivilegedUser(const std::function<bool(const fs::path& assets)>& body) {
  if (::geteuid() != 0) {
    EXPECT_TRUE(body(QUARVEL_ASSET_DIR));
    return;
  }
  // The child cannot read the assets from wherever the sources lie; give it a copy.
  const fs::path assets = fs::temp_directory_path() / ("quarvel-assets-" + std::to_string(::getpid()));
  fs::create_directories(assets);
  for (const auto& asset : fs::directory_iterator(QUARVEL_ASSET_DIR))
    fs::copy_file(asset.path(), assets / asset.path().filename(), fs::copy_options::overwrite_existing);
  fs::permissions(assets, fs::perms(0755));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const gid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) std::_Exit(3);
        std::_Exit(body(assets) ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  fs::remove_all(assets);
}
