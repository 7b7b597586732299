// The nesting check run on JSON text from another process before the JSON reader sees it.
#pragma once

#include <cstddef>
#include <string>

// True when the brackets of JSON text nest at most limit levels deep (brackets inside strings do
// not count). The JSON reader recurses once per level: deep enough nesting would overflow the
// reading thread's stack.
bool JsonNestingWithin(const std::string& text, size_t limit);
