#include "support/TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
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
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& entry : fs::recursive_directory_iterator(path_, ignored))
    if (entry.is_directory(ignored))
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void WorkDir::write(const fs::path& name, const std::string& contents) const {
  if (name.has_parent_path()) fs::create_directories(path_ / name.parent_path());
  std::ofstream(path_ / name, std::ios::binary) << contents;
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

unsigned modeOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::string zipArchive(const std::vector<ZipEntry>& entries) {
  // libzip writes no archive without entries; the bare end record is one.
  if (entries.empty()) return std::string("PK\5\6", 4) + std::string(18, '\0');
  const fs::path file = fs::temp_directory_path() / ("quarvel-zip-" + std::to_string(::getpid()) + ".zip");
  int error = 0;
  zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) throw std::runtime_error("zip_open " + std::to_string(error));
  for (const ZipEntry& entry : entries) {
    const bool folder = entry.name.ends_with('/');
    zip_source_t* data = folder ? nullptr : zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
    const zip_int64_t index = folder ? zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8)
                                     : zip_file_add(archive, entry.name.c_str(), data, ZIP_FL_ENC_UTF_8);
    if (index < 0) throw std::runtime_error(entry.name + ": " + zip_strerror(archive));
    const auto i = static_cast<zip_uint64_t>(index);
    zip_set_file_compression(archive, i, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    // Without Unix attributes the entry is marked as coming from another system.
    zip_file_set_external_attributes(archive, i, 0, entry.mode ? ZIP_OPSYS_UNIX : ZIP_OPSYS_DOS,
                                     static_cast<zip_uint32_t>(entry.mode) << 16);
  }
  // The archive's buffers point into entries, which outlive this close.
  if (zip_close(archive) != 0) throw std::runtime_error(zip_strerror(archive));
  const std::string bytes = slurp(file);
  fs::remove(file);
  return bytes;
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

void TestServer::on(const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  replies_[path] = std::move(reply);
}

std::vector<std::string> TestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void TestServer::answer(const httplib::Request& request, httplib::Response& response) {
  Reply r;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request.target);
    if (const auto found = replies_.find(request.path); found != replies_.end()) r = found->second;
  }
  response.status = r.status;
  const char* type = "application/octet-stream";
  // A provider that returns false closes the connection mid-body.
  const auto sendThenClose = [body = r.body](httplib::DataSink& sink) {
    sink.write(body.data(), body.size());
    return false;
  };
  switch (r.kind) {
    case Reply::Missing:
      response.status = 404;
      response.set_content("<html><body><h1>404 Not Found</h1></body></html>\n", "text/html");
      break;
    case Reply::Body: response.set_content(r.body, type); break;
    case Reply::Redirect:
      response.set_redirect("/moved");
      response.set_content("<html>Moved</html>\n", "text/html");
      break;
    case Reply::Cut:
      response.set_content_provider(r.declared, type,
                                    [=](std::size_t, std::size_t, auto& s) { return sendThenClose(s); });
      break;
    case Reply::CutChunked:
      response.set_chunked_content_provider(type, [=](std::size_t, auto& s) { return sendThenClose(s); });
      break;
    case Reply::NoLength:
      response.set_content_provider(type, [=](std::size_t, auto& s) { return sendThenClose(s); });
      break;
    case Reply::Flood:
      response.set_chunked_content_provider(type, [this](std::size_t, httplib::DataSink& sink) {
        const std::string block(65536, 'f');
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !stopping_ && sink.write(block.data(), block.size());
      });
      break;
  }
}

bool driveUntil(Launcher& launcher, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  for (launcher.update(); !done(); launcher.update()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Outcome runLauncher(const std::string& url) {
  Launcher launcher{url};
  verify(driveUntil(launcher, [&] { return launcher.pipelineIdle(); }), "the pipeline comes to rest");
  return {launcher.logLines(), launcher.isReadyToLaunch()};
}

bool endsWith(const Lines& log, const Lines& expected) {
  bool same = log.size() >= expected.size();
  for (std::size_t i = 0; same && i < expected.size(); ++i) {
    const std::string& want = expected[i];
    const std::string& got = log[log.size() - expected.size() + i];
    same = want.ends_with('*') ? got.starts_with(want.substr(0, want.size() - 1)) : got == want;
  }
  if (!same) {
    std::cerr << "the log ends otherwise:\n";
    for (const std::string& line : log) std::cerr << "  " << line << "\n";
  }
  return same;
}

bool verify(bool condition, const std::string& what) {
  if (!condition) std::cerr << "check failed: " << what << std::endl;
  return condition;
}

SetUp placing(const fs::path& path, std::optional<std::string> contents, bool readOnly) {
  return [=](WorkDir& dir, std::string&) {
    if (contents) dir.write(path, *contents);
    if (!contents) fs::create_directories(dir.path() / path);
    if (readOnly) fs::permissions(dir.path() / path, fs::perms::owner_write, fs::perm_options::remove);
  };
}

SetUp linking(const fs::path& link, const fs::path& target) {
  return [=](WorkDir& dir, std::string&) {
    fs::create_directories(dir.path() / target);
    fs::create_directories((dir.path() / link).parent_path());
    fs::create_directory_symlink(dir.path() / target, dir.path() / link);
  };
}

bool installsAsExpected(const PackageRow& row, const fs::path& assets) {
  WorkDir dir(assets);
  std::string archive = zipArchive(row.entries);
  if (row.setUp) row.setUp(dir, archive);
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, archive);
  const Outcome outcome = runLauncher(server.url());
  const bool done = row.tail.back() == upToDate;
  const fs::path versionFile = dir.path() / "latest_version.txt";
  bool ok = verify(endsWith(outcome.log, row.tail), row.name + ": the log's last lines");
  ok &= verify(outcome.ready == done, row.name + ": the button is enabled only after a whole update");
  // The version file names the new build exactly when the update went through, unless
  // something else stands in its place.
  ok &= verify(fs::is_directory(versionFile) || dir.read(versionFile) == (done ? testLine : ""),
               row.name + ": the recorded version");
  ok &= verify(!dir.exists("temp.txt") && !dir.exists("latest_version.txt.new"), row.name + ": no temporary files");
  ok &= verify(!dir.exists("escaped.txt") && !fs::exists(dir.path().parent_path() / "escaped.txt"),
               row.name + ": nothing outside the install folder");
  for (const auto& [path, contents, mode] : row.files) {
    const bool found = dir.exists(path);
    ok &= verify(contents ? found && dir.read(path) == *contents : !found, row.name + ": contents of " + path);
    ok &= verify(!mode || modeOf(dir.path() / path) == mode, row.name + ": mode of " + path);
  }
  return ok;
}
