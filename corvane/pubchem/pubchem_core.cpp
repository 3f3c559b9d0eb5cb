#include "pubchem_core.hpp"

#include <cmath>

namespace corvane::pubchem {

namespace {

bool kept_in_path(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':                      // unreserved
        case '!': case '$': case '&': case '\'': case '(': case ')':  // sub-delims
        case '*': case '+': case ',': case ';': case '=':
        case ':': case '@':
            return true;
        default:
            return false;
    }
}

void append_escape(std::string &out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 0x0F];
}

}  // namespace

std::string encode_path_segment(std::string_view text) {
    std::string out;
    if (text == "." || text == "..") {
        for (std::size_t i = 0; i < text.size(); ++i) append_escape(out, '.');
        return out;
    }
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (kept_in_path(c))
            out += ch;
        else
            append_escape(out, c);
    }
    return out;
}

std::string smiles_property_url(std::string_view base, std::string_view ns, std::string_view query) {
    std::string url(base);
    url += '/';
    url += encode_path_segment(ns);
    url += '/';
    url += encode_path_segment(query);
    url += "/property/SMILES/JSON";
    return url;
}

}  // namespace corvane::pubchem

namespace corvane::pubchem {

std::optional<double> total_time_limit(std::optional<double> connect, std::optional<double> read) {
    if (!connect || !read) return std::nullopt;
    const double c = *connect, r = *read;
    // NaN fails both comparisons.
    if (!(c >= 0.0 && r >= 0.0)) return std::nullopt;
    const double total = c + r;
    if (!std::isfinite(total)) return std::nullopt;
    return total;
}

}  // namespace corvane::pubchem
