// Cuts a byte stream into "\n"-terminated lines across reads, for the master channel's two ends.
// A line longer than the maximum (without its "\n") is dropped whole: as soon as the bytes held
// exceed it, and then everything up to its "\n" as well. Not thread-safe; one per connection.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class LineFramer {
public:
    // Told the length seen when a line is dropped, for the caller's own log line.
    using DropFn = std::function<void(size_t length)>;

    explicit LineFramer(size_t maxLine) : maxLine(maxLine) {}

    // Appends the complete lines among data (each with its "\n") to out; keeps the rest.
    void Feed(const char* data, size_t size, std::string& out, const DropFn& onDrop);
    // Forgets a partial line (a new connection).
    void Reset();
    size_t Held() const { return partial.size(); }

private:
    const size_t maxLine;
    std::string partial;      // bytes of a line whose "\n" has not arrived yet
    bool discarding = false;  // inside an over-long line: skip up to its "\n"
};
