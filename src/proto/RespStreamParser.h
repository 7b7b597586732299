// The one reader of the gateway wire format ("*N" CR LF, then per element "$len" CR LF, the bytes,
// CR LF; a lone bulk string is a reply too). Fed whatever a socket read returned, it keeps its
// place across reads and looks at every byte once: headers digit by digit, values by count, so a
// value may hold CR and LF, and the line end must sit exactly where the length says.
//
// Any input is safe: a message is bounded at MAX_MESSAGE bytes, and a rejected one leaves the
// reader ready for the next (the rest of the offending line is skipped first, as a line reader
// would). Not thread-safe; one reader per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class RespStreamParser {
public:
    enum class Result {
        NEED_MORE,  // the message is not complete yet; all bytes given were taken
        COMPLETE,   // TakeValues() returns the message's values
        BAD,        // the message was rejected; Error() says why
    };

    enum class Mode {
        // A request a worker pulled: an array of one or more non-empty bulk strings. Logged as
        // it is read, the values redacted.
        PULLED,
        // Any reply or request: an array (empty, null and empty elements allowed, a null one
        // read as "") or one bulk string. Silent: the caller logs Error().
        ANY,
    };

    static constexpr size_t MAX_MESSAGE = 10485760;  // bytes of one message, from its first byte

    explicit RespStreamParser(Mode mode = Mode::PULLED) : mode(mode) {}

    // Takes bytes from data up to the end of the message that completes or is rejected, and no
    // further; consumed tells how many.
    Result FeedBuffer(const char* data, size_t size, size_t& consumed);

    // Values of the message that the last COMPLETE reported (moved out).
    std::vector<std::string> TakeValues();
    // Why the last BAD: "bad frame, <what> at byte <offset in the message>".
    const std::string& Error() const { return error; }

    // Forgets a partly read message (and a rejected line still being skipped).
    void Reset();
    // True when no part of a message is held.
    bool Idle() const { return phase == Phase::START; }

private:
    enum class Phase { START, HEADER, VALUE, VALUE_END };

    Result HeaderByte(char c);
    Result Examine();
    Result TakeValue(char c);
    Result ElementDone();
    Result Complete();
    // lineEnded: the offending byte was an LF, so there is no rest of a line to skip.
    Result Fail(const std::string& why, size_t at, bool lineEnded);
    void ResetMessage();

    const Mode mode;
    Phase phase = Phase::START;
    bool skipLine = false;  // after a rejection: drop bytes through the next LF
    size_t msgBytes = 0;    // bytes of the current message taken so far
    // The header being read.
    std::string header;  // its text so far (for log lines)
    size_t headerStart = 0;
    uint64_t number = 0;
    size_t digits = 0;
    bool negative = false;
    bool sawCR = false;      // also after a value, awaiting its LF
    bool topHeader = false;  // the header is the message's first
    // The message being read.
    int64_t remaining = 0;  // elements still to come
    size_t valueLeft = 0;   // bytes of the current value still to come
    size_t valueEnd = 0;    // where its line end must begin
    std::string value;
    std::vector<std::string> values;
    std::vector<std::string> completed;
    std::string error;
};
