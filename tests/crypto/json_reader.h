// Just enough JSON for the known-answer files: objects, arrays, strings, literals.
#pragma once

#include <cstddef>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dovan::testing {

struct Json {
    std::string text;                  // strings, and the raw token of literals/numbers
    std::vector<Json> items;           // arrays
    std::map<std::string, Json> keys;  // objects
    bool is_string = false;

    bool has(const std::string& k) const { return keys.count(k) != 0; }
    const Json& operator[](const std::string& k) const { return keys.at(k); }
};

class JsonReader {
public:
    explicit JsonReader(std::string src) : s_(std::move(src)) {}

    Json parse() {
        Json v = value();
        ws();
        if (i_ != s_.size()) throw std::runtime_error("trailing JSON");
        return v;
    }

private:
    void ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    char peek() {
        ws();
        if (i_ >= s_.size()) throw std::runtime_error("unexpected end of JSON");
        return s_[i_];
    }
    void expect(char c) {
        if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
        ++i_;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            if (s_[i_] == '\\') throw std::runtime_error("escapes are not needed here");
            out += s_[i_++];
        }
        expect('"');
        return out;
    }
    Json value() {
        Json v;
        const char c = peek();
        if (c == '"') {
            v.text = string();
            v.is_string = true;
        } else if (c == '[') {
            ++i_;
            if (peek() == ']') {
                ++i_;
                return v;
            }
            for (;;) {
                v.items.push_back(value());
                if (peek() == ',') { ++i_; continue; }
                expect(']');
                break;
            }
        } else if (c == '{') {
            ++i_;
            if (peek() == '}') {
                ++i_;
                return v;
            }
            for (;;) {
                std::string k = string();
                expect(':');
                v.keys[k] = value();
                if (peek() == ',') { ++i_; continue; }
                expect('}');
                break;
            }
        } else {
            while (i_ < s_.size() && std::string(",]} \n\r\t").find(s_[i_]) == std::string::npos) v.text += s_[i_++];
            if (v.text.empty()) throw std::runtime_error("bad JSON token");
        }
        return v;
    }

    std::string s_;
    std::size_t i_ = 0;
};

inline Json read_json_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return JsonReader(ss.str()).parse();
}

}  // namespace dovan::testing
