// Reader state of a gateway pull channel: turns the lines of one gateway reply into its values,
// counting value bytes so that a value may contain CR and LF.
//
// Fed either one completed read at a time (a line ending in LF, or a chunk of a longer line
// without LF) or a buffer of any bytes; both ways examine the text at exactly the same points
// (every LF), so they give the same results. Any input is safe: a message is bounded at
// MAX_MESSAGE bytes. Not thread-safe; one parser per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class RespStreamParser {
public:
    enum class Result {
        NEED_MORE,  // the reply is not complete yet
        COMPLETE,   // TakeValues() returns the reply's values
        BAD,        // the reply was rejected; the parser is ready for the next one
    };

    static constexpr size_t MAX_READ = 10240;        // the longest line piece one read hands over
    static constexpr size_t MAX_MESSAGE = 10485760;  // bytes of one reply, from its first byte

    // One read as the line reader completes it. A read that does not end in LF continues the
    // line. LFs inside a read are taken as part of the line (the line reader never produces them).
    Result FeedRead(const char* data, size_t size);
    Result FeedRead(const std::string& read) { return FeedRead(read.data(), read.size()); }

    // Takes bytes from data up to and including the LF that completes or rejects a reply, and no
    // further; consumed tells how many. NEED_MORE means all of data was taken.
    Result FeedBuffer(const char* data, size_t size, size_t& consumed);

    // Values of the reply that the last COMPLETE reported (moved out).
    std::vector<std::string> TakeValues();

    // Forgets a partly read reply.
    void Reset();

    // True when no part of a reply is held.
    bool Idle() const;

private:
    bool Append(const char* data, size_t size);
    Result Examine();
    Result TakeValue();
    Result Reject();

    std::string lineAcc;
    int64_t remaining = 0;
    int64_t expectedLen = 0;
    std::vector<std::string> values;
    size_t messageBytes = 0;
    std::vector<std::string> completed;
};
