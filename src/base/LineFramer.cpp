#include "base/LineFramer.h"

#include <cstring>

void LineFramer::Feed(const char* data, size_t size, std::string& out, const DropFn& onDrop) {
    size_t pos = 0;
    while (pos < size) {
        const void* found = memchr(data + pos, '\n', size - pos);
        if (found == nullptr) {
            if (!discarding) {
                partial.append(data + pos, size - pos);
                if (partial.size() > maxLine) {
                    onDrop(partial.size());
                    partial.clear();
                    discarding = true;
                }
            }
            return;
        }
        size_t end = static_cast<size_t>(static_cast<const char*>(found) - data);
        size_t segLen = end - pos;
        if (discarding) {
            discarding = false;  // the dropped line ends here
        } else if (partial.size() + segLen > maxLine) {
            onDrop(partial.size() + segLen);
            partial.clear();
        } else {
            out += partial;
            out.append(data + pos, segLen + 1);
            partial.clear();
        }
        pos = end + 1;
    }
}

void LineFramer::Reset() {
    partial.clear();
    discarding = false;
}
