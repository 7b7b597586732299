// Reads the gateway's request text for a C module in one pass, without building a tree: the
// common case of every request. It takes only texts whose reading is plain (ASCII strings
// without \u escapes, no empty member names, ReqQuery and Header objects) and gives for them
// exactly what the tree reader gives; anything else, valid or not, it leaves to that reader,
// which also words the errors.
#pragma once

#include <map>
#include <string>

class RequestTextReader {
public:
    struct Fields {
        std::string reqUrl;
        std::string method;
        std::string reqBody;
        std::map<std::string, std::string> reqQuery;
        std::map<std::string, std::string> header;
    };

    // True with fields filled when the text is a plain request text with all five members;
    // false (fields unspecified) when the tree reader has to decide.
    static bool Read(const std::string& text, Fields& fields);

private:
    explicit RequestTextReader(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

    void SkipSpace();
    bool Take(char c);
    // A string after its opening quote, decoded into out (when given).
    bool String(std::string* out);
    // Any value; out (when given) gets what the tree keeps as the node's data: a string's text,
    // a number's or literal's spelling, nothing for an object or an array.
    bool Value(int depth, std::string* out);
    bool Number(std::string* out);
    bool Literal(std::string* out);
    // The members of an object after its '{', each name and value handed to onMember.
    template <typename OnMember>
    bool Members(OnMember onMember);
    bool Query(std::map<std::string, std::string>& query);
    bool Headers(std::map<std::string, std::string>& header);

    const char* p_;
    const char* end_;
};
