// Reader for key=value text files (the environment files of Java modules): "#" starts a
// comment, blanks around keys and values are dropped, the last of a repeated key wins.
#pragma once

#include <map>
#include <string>

// Adds every key=value line of the file at path to out (assigning over existing keys).
// Returns false, after a log line, only when the file cannot be opened.
bool ReadConfig(const std::string& path, std::map<std::string, std::string>& out);

// Splits one line into key and value; false for empty, comment, "="-less or empty-key lines.
bool AnalyseLine(const std::string& line, std::string& key, std::string& value);

// Removes leading and trailing white space (" \t\n\v\f\r") in place.
void Trim(std::string& text);
