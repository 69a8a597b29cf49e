#pragma once

#include <chrono>
#include <cstdint>

// Pauses and periods are counted in whole milliseconds.
using Milliseconds = std::chrono::duration<std::int64_t, std::milli>;
