#pragma once

#include <curl/curl.h>

#include <cstdio>
#include <memory>

// Owning pointers for a libcurl easy handle and a C file.
struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
