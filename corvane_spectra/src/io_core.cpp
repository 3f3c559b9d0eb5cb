// Streaming parser of MSP, MGF and MassBank record text.
#include "io_core.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <system_error>

namespace corvane::spectra::io {

namespace {

// What the parser does after a rejected record.
enum class Resume {
    Skip,     // skip lines until the next record starts
    Ended,    // the bad record is over; go on normally
    Restart,  // this line starts the next record: read it again
};

struct BadRecord {
    long line;
    std::string reason;
    Resume resume;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

char lower_char(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string lower(std::string_view s) {
    std::string r(s);
    for (auto &c : r) c = lower_char(c);
    return r;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower_char(s[i]) != lower_char(prefix[i])) return false;
    return true;
}

bool starts_numeric(std::string_view s) {
    return !s.empty() && ((s[0] >= '0' && s[0] <= '9') || s[0] == '+' || s[0] == '-' || s[0] == '.');
}

// Lower case, runs of white space as one "_".
std::string field_key(std::string_view raw) {
    std::string r;
    bool gap = false;
    for (char c : trim(raw)) {
        if (is_space(c)) {
            gap = true;
            continue;
        }
        if (gap && !r.empty()) r.push_back('_');
        gap = false;
        r.push_back(lower_char(c));
    }
    return r;
}

std::string map_key(std::string key, std::initializer_list<std::pair<const char *, const char *>> table) {
    for (const auto &[from, to] : table)
        if (key == from) return to;
    return key;
}

std::string msp_key(std::string_view raw) {
    return map_key(field_key(raw), {
        {"synon", "synonyms"}, {"synonym", "synonyms"}, {"inchi_key", "inchikey"}, {"db#", "id"},
        {"accession", "id"}, {"spectrumid", "id"}, {"licence", "license"}, {"instrument_type", "instrument"},
        {"instrumenttype", "instrument"}, {"ionmode", "ion_mode"},
        // as matchms and NIST's own tools write them
        {"compound_name", "name"}, {"spectrum_id", "id"}, {"nist#", "nist_id"},
    });
}

std::string quoted(std::string_view s) {
    std::string r = "'";
    r.append(s.substr(0, 60));
    r.append(s.size() > 60 ? "...'" : "'");
    return r;
}

double number(std::string_view text, const char *what, long line) {
    std::string_view t = text;
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        throw BadRecord{line, std::string(what) + " " + quoted(text) + " is not a number", Resume::Skip};
    if (!std::isfinite(v))
        throw BadRecord{line, std::string(what) + " " + quoted(text) + " is not a finite number", Resume::Skip};
    return v;
}

bool whole_number(std::string_view text, long &out) {
    text = trim(text);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> split_ws(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i])) ++i;
        size_t j = i;
        while (j < s.size() && !is_space(s[j])) ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

}  // namespace

std::string normal_ion_mode(std::string_view value) {
    std::string v = lower(trim(value));
    if (v == "p" || v == "pos" || v == "positive" || v == "+") return "positive";
    if (v == "n" || v == "neg" || v == "negative" || v == "-") return "negative";
    return std::string(trim(value));
}

bool parse_annotations(std::string_view text, std::vector<Annotation> &out) {
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t semi = text.find(';', start);
        std::string_view part = text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
        auto toks = split_ws(part);
        if (!toks.empty()) {
            if (toks.size() < 3) return false;
            std::string_view mode = toks[1];
            if (mode != "molecular_ion" && mode != "single" && mode != "ring" && mode != "recursive" &&
                mode != "rearrangement" && mode != "isotope")
                return false;
            std::string_view g = toks.back();
            if (g.size() < 2 || g[0] != 'g') return false;
            long gen = 0;
            if (!whole_number(g.substr(1), gen) || gen < 0 || gen > 1000000 || g[1] == '+' || g[1] == '-')
                return false;
            Annotation a;
            a.formula = std::string(toks[0]);
            a.mode = std::string(mode);
            for (size_t i = 2; i + 1 < toks.size(); ++i) {
                if (!a.bond.empty()) a.bond.push_back(' ');
                a.bond.append(toks[i]);
            }
            a.generation = int(gen);
            out.push_back(std::move(a));
        }
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    return true;
}

Parser::Parser(Format format, double max_mz, size_t max_line)
    : format_(format), max_mz_(max_mz), max_line_(max_line == 0 ? 1 : max_line) {}

void Parser::reset() {
    open_ = false;
    rec_ = Record{};
    where_.clear();
    record_bytes_ = 0;
    any_comment_ = false;
    expect_ = -1;
    expect_total_ = 0;
    done_ = false;
    in_peaks_ = false;
    column_ = -1;
    num_peak_ = -1;
}

void Parser::feed(std::string_view data, std::vector<Item> &out) {
    size_t start = 0;
    if (discarding_) {
        size_t nl = data.find('\n');
        if (nl == std::string_view::npos) return;
        discarding_ = false;
        overlong(out);
        start = nl + 1;
    } else if (!pending_.empty()) {
        size_t nl = data.find('\n');
        if (nl == std::string_view::npos) {
            if (pending_.size() + data.size() > max_line_) {
                std::string().swap(pending_);
                discarding_ = true;
            } else {
                pending_.append(data);
            }
            return;
        }
        if (pending_.size() + nl > max_line_) {
            std::string().swap(pending_);
            overlong(out);
        } else {
            std::string first;
            first.swap(pending_);
            first.append(data.substr(0, nl));
            line(first, out);
        }
        start = nl + 1;
    }
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        if (nl == std::string_view::npos) {
            if (data.size() - start > max_line_)
                discarding_ = true;
            else
                pending_.assign(data.substr(start));
            return;
        }
        if (nl - start > max_line_)
            overlong(out);
        else
            line(data.substr(start, nl - start), out);
        start = nl + 1;
    }
}

// A line over the length limit: an error of the record it is in, which is
// then skipped like any other rejected record.
void Parser::overlong(std::vector<Item> &out) {
    ++line_no_;
    Item item;
    item.ok = false;
    item.line = line_no_;
    item.reason = "line longer than " + std::to_string(max_line_) + " bytes";
    out.push_back(std::move(item));
    reset();
    skipping_ = true;
}

void Parser::finish(std::vector<Item> &out) {
    if (discarding_) {
        discarding_ = false;
        overlong(out);
    } else if (!pending_.empty()) {
        std::string last;
        last.swap(pending_);
        line(last, out);
    }
    if (skipping_ || !open_) return;
    long at = std::max(line_no_, 1L);
    std::string reason;
    switch (format_) {
    case Format::Msp:
        if (expect_ < 0) {
            reason = "file ends in a record without \"Num Peaks\"";
        } else if (expect_ > 0) {
            reason = "file ends after " + std::to_string(expect_total_ - expect_) + " of " +
                     std::to_string(expect_total_) + " peaks (Num Peaks: " + std::to_string(expect_total_) + ")";
        } else {
            end_record(out);
            return;
        }
        break;
    case Format::Mgf: reason = "file ends inside a record (END IONS missing)"; break;
    case Format::MassBank: reason = "file ends inside a record (\"//\" missing)"; break;
    }
    Item item;
    item.ok = false;
    item.line = at;
    item.reason = std::move(reason);
    out.push_back(std::move(item));
    reset();
}

void Parser::line(std::string_view text, std::vector<Item> &out) {
    ++line_no_;
    if (line_no_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (open_ && !skipping_) {
                record_bytes_ += text.size() + 1;
                if (record_bytes_ > max_line_)
                    throw BadRecord{line_no_, "record longer than " + std::to_string(max_line_) + " bytes",
                                    Resume::Skip};
            }
            std::string_view s = trim(text);
            switch (format_) {
            case Format::Msp: line_msp(s, out); break;
            case Format::Mgf: line_mgf(s, out); break;
            case Format::MassBank: line_massbank(text, s, out); break;
            }
            return;
        } catch (const BadRecord &bad) {
            Item item;
            item.ok = false;
            item.line = bad.line;
            item.reason = bad.reason;
            out.push_back(std::move(item));
            reset();
            Resume resume = bad.resume;
            // Where MSP records start with "Name:", the lines up to the next
            // "Name:" still belong to the rejected record (a blank line inside
            // it, a stray field among its peaks): none of them may start a
            // record of their own.
            if (format_ == Format::Msp && name_leads_ == 1 && resume != Resume::Skip &&
                !(resume == Resume::Restart && starts_with_nocase(trim(text), "name:")))
                resume = Resume::Skip;
            if (resume == Resume::Skip) skipping_ = true;
            if (resume != Resume::Restart) return;
        }
    }
}

void Parser::add_field(std::string key, std::string_view value) {
    value = trim(value);
    if (key == "convention") {
        rec_.has_convention = !value.empty();
        rec_.convention = std::string(value);
        return;
    }
    if (key == "synonyms") {
        rec_.fields.emplace_back(std::move(key), std::string(value));
        return;
    }
    std::string v = key == "ion_mode" ? normal_ion_mode(value) : std::string(value);
    auto it = where_.find(key);
    if (it != where_.end()) {
        std::string &old = rec_.fields[it->second].second;
        if (old != v) {
            old.append("; ");
            old.append(v);
        }
        return;
    }
    where_.emplace(key, rec_.fields.size());
    rec_.fields.emplace_back(std::move(key), std::move(v));
}

void Parser::add_peak(std::string_view mz_text, std::string_view int_text, std::string_view comment, bool has_comment) {
    double mz = number(mz_text, "m/z", line_no_);
    double inten = number(int_text, "intensity", line_no_);
    if (inten < 0)
        throw BadRecord{line_no_, "negative intensity " + quoted(int_text), Resume::Skip};
    // Nominal m/z: nearest integer, halves to the even neighbour.
    double nominal = std::nearbyint(mz);
    if (!(mz > 0) || nominal < 1 || nominal > max_mz_)
        throw BadRecord{line_no_, "m/z " + quoted(mz_text) + " is out of range", Resume::Skip};
    rec_.mz.push_back(int64_t(nominal));
    rec_.intensity.push_back(inten);
    if (has_comment && !any_comment_) {
        any_comment_ = true;
        rec_.comments.assign(rec_.mz.size() - 1, std::string());
    }
    if (any_comment_) rec_.comments.emplace_back(has_comment ? comment : std::string_view());
}

// Peaks of one MSP line: "mz intensity", an optional "comment", several
// peaks per line separated by ';'.  Returns how many it read.
int Parser::peak_line_msp(std::string_view s) {
    int n = 0;
    size_t i = 0, end = s.size();
    auto sep = [](char c) { return c == ' ' || c == '\t' || c == ';' || c == ','; };
    while (i < end) {
        while (i < end && sep(s[i])) ++i;
        if (i >= end) break;
        size_t a = i;
        while (i < end && !is_space(s[i]) && s[i] != ';' && s[i] != ',' && s[i] != ':' && s[i] != '"') ++i;
        std::string_view mz = s.substr(a, i - a);
        size_t gap = i;
        while (i < end && (is_space(s[i]) || s[i] == ',' || s[i] == ':')) ++i;
        size_t b = i;
        while (i < end && !is_space(s[i]) && s[i] != ';' && s[i] != ',' && s[i] != '"') ++i;
        std::string_view inten = s.substr(b, i - b);
        if (mz.empty() || inten.empty() || gap == b)
            throw BadRecord{line_no_, "cannot read a peak (m/z and intensity) in " + quoted(s), Resume::Skip};
        while (i < end && is_space(s[i])) ++i;
        std::string_view comment;
        bool has_comment = false;
        if (i < end && s[i] == '"') {
            size_t close = s.find('"', i + 1);
            if (close == std::string_view::npos)
                throw BadRecord{line_no_, "peak comment without its closing quote in " + quoted(s), Resume::Skip};
            comment = trim(s.substr(i + 1, close - i - 1));
            has_comment = true;
            i = close + 1;
        }
        add_peak(mz, inten, comment, has_comment);
        ++n;
    }
    return n;
}

void Parser::line_msp(std::string_view s, std::vector<Item> &out) {
    if (skipping_) {
        if (s.empty() && name_leads_ != 1) {
            skipping_ = false;
            return;
        }
        if (!starts_with_nocase(s, "name:")) return;
        skipping_ = false;
    }
    auto count_text = [this] {
        return std::to_string(expect_total_ - expect_) + " of " + std::to_string(expect_total_) +
               " peaks (Num Peaks: " + std::to_string(expect_total_) + ")";
    };
    if (s.empty()) {
        if (!open_) return;
        if (expect_ < 0) throw BadRecord{line_no_, "record has no \"Num Peaks\" line", Resume::Ended};
        if (expect_ > 0) throw BadRecord{line_no_, "record ends after " + count_text(), Resume::Ended};
        end_record(out);
        return;
    }
    if (!open_ && s[0] == '#') return;
    if (open_ && done_) {
        if (starts_numeric(s))
            throw BadRecord{line_no_, "more peaks than Num Peaks: " + std::to_string(expect_total_), Resume::Skip};
        end_record(out);  // the next record starts without a blank line
    }
    if (!open_) {
        open_ = true;
        rec_.line = line_no_;
        if (name_leads_ < 0) name_leads_ = starts_with_nocase(s, "name:") ? 1 : 0;
    }
    if (expect_ > 0) {
        if (!starts_numeric(s) && s.find(':') != std::string_view::npos && s.find('"') > s.find(':'))
            throw BadRecord{line_no_, "record ends after " + count_text(), Resume::Restart};
        int got = peak_line_msp(s);
        expect_ -= got;
        if (expect_ < 0)
            throw BadRecord{line_no_, "more peaks than Num Peaks: " + std::to_string(expect_total_), Resume::Skip};
        if (expect_ == 0) done_ = true;
        return;
    }
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        if (starts_numeric(s))
            throw BadRecord{line_no_, "peaks before a \"Num Peaks\" line (Num Peaks missing)", Resume::Skip};
        throw BadRecord{line_no_, "expected \"Key: value\", found " + quoted(s), Resume::Skip};
    }
    std::string key = msp_key(s.substr(0, colon));
    std::string_view value = trim(s.substr(colon + 1));
    if (key == "num_peaks") {
        long n = 0;
        if (!whole_number(value, n))
            throw BadRecord{line_no_, "Num Peaks " + quoted(value) + " is not a whole number", Resume::Skip};
        if (n < 0) throw BadRecord{line_no_, "Num Peaks " + quoted(value) + " is negative", Resume::Skip};
        expect_ = expect_total_ = n;
        done_ = n == 0;
        return;
    }
    if (key == "comments") {
        // Quoted "key=value" pairs become fields; other text stays a comment.
        std::string rest;
        auto keep = [&rest](std::string_view t) {
            t = trim(t);
            if (t.empty()) return;
            if (!rest.empty()) rest.push_back(' ');
            rest.append(t);
        };
        size_t pos = 0;
        while (pos < value.size()) {
            size_t q = value.find('"', pos);
            if (q == std::string_view::npos) {
                keep(value.substr(pos));
                break;
            }
            keep(value.substr(pos, q - pos));
            size_t close = value.find('"', q + 1);
            if (close == std::string_view::npos) {
                keep(value.substr(q));
                break;
            }
            std::string_view inner = value.substr(q + 1, close - q - 1);
            size_t eq = inner.find('=');
            if (eq != std::string_view::npos && eq > 0)
                add_field(msp_key(inner.substr(0, eq)), inner.substr(eq + 1));
            else
                keep(inner);
            pos = close + 1;
        }
        if (!rest.empty()) add_field("comments", rest);
        return;
    }
    add_field(std::move(key), value);
}

void Parser::line_mgf(std::string_view s, std::vector<Item> &out) {
    if (skipping_) {
        if (starts_with_nocase(s, "END IONS")) {
            skipping_ = false;
            return;
        }
        if (!starts_with_nocase(s, "BEGIN IONS")) return;
        skipping_ = false;
    }
    if (s.empty()) return;
    if (!open_) {
        if (s[0] == '#' || s[0] == ';' || s[0] == '!' || s[0] == '/') return;
        if (starts_with_nocase(s, "BEGIN IONS")) {
            open_ = true;
            rec_.line = line_no_;
            return;
        }
        throw BadRecord{line_no_, "expected BEGIN IONS, found " + quoted(s), Resume::Skip};
    }
    if (starts_with_nocase(s, "END IONS")) {
        end_record(out);
        return;
    }
    if (starts_with_nocase(s, "BEGIN IONS"))
        throw BadRecord{line_no_, "BEGIN IONS inside a record (END IONS missing)", Resume::Restart};
    if (starts_numeric(s)) {
        auto toks = split_ws(s);
        if (toks.size() < 2) throw BadRecord{line_no_, "peak line " + quoted(s) + " has no intensity", Resume::Skip};
        add_peak(toks[0], toks[1], {}, false);
        return;
    }
    size_t eq = s.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw BadRecord{line_no_, "expected KEY=value or a peak, found " + quoted(s), Resume::Skip};
    std::string raw = field_key(s.substr(0, eq));
    std::string_view value = trim(s.substr(eq + 1));
    if (raw == "mslevel" && value == "1") return;  // EI spectra are MS1; another level is kept
    std::string key = map_key(raw, {
        {"title", "name"}, {"compound_name", "name"}, {"spectrumid", "id"}, {"spectrum_id", "id"},
        {"ionmode", "ion_mode"}, {"instrument_type", "instrument"},
    });
    if (key == "name") {
        // TITLE names the spectrum unless NAME does; a TITLE equal to the
        // name says nothing more.
        auto it = where_.find("name");
        if (it != where_.end()) {
            size_t i = it->second;
            if (rec_.fields[i].second == value) return;
            if (raw == "title") {
                add_field("title", value);
                return;
            }
            // NAME after a TITLE: the earlier name becomes the title.
            if (where_.count("title") == 0) {
                where_.erase(it);
                rec_.fields[i].first = "title";
                where_.emplace("title", i);
            } else {
                std::string earlier = rec_.fields[i].second;
                add_field("title", earlier);
                rec_.fields[i].second = std::string(value);
                return;
            }
        }
    }
    add_field(std::move(key), value);
}

void Parser::line_massbank(std::string_view raw, std::string_view s, std::vector<Item> &out) {
    if (skipping_) {
        if (s == "//") skipping_ = false;
        return;
    }
    if (s.empty()) return;
    if (!open_) {
        open_ = true;
        rec_.line = line_no_;
    }
    if (s == "//") {
        if (column_ < 0) throw BadRecord{line_no_, "record has no PK$PEAK block", Resume::Ended};
        if (num_peak_ >= 0 && size_t(num_peak_) != rec_.mz.size() + size_t(rec_.merged))
            throw BadRecord{line_no_, "PK$NUM_PEAK says " + std::to_string(num_peak_) + " but the PK$PEAK block has " +
                                          std::to_string(rec_.mz.size()) + " peaks",
                            Resume::Ended};
        end_record(out);
        return;
    }
    if (is_space(raw[0])) {
        // An indented line continues the tag above it: peaks of PK$PEAK,
        // rows of PK$ANNOTATION and the like.
        if (!in_peaks_) return;
        auto toks = split_ws(s);
        if (toks.size() < 2) throw BadRecord{line_no_, "peak line " + quoted(s) + " has no intensity", Resume::Skip};
        if (size_t(column_) >= toks.size())
            throw BadRecord{line_no_, "peak line " + quoted(s) + " has no value in the intensity column " +
                                          std::to_string(column_ + 1) + " of PK$PEAK",
                            Resume::Skip};
        add_peak(toks[0], toks[size_t(column_)], {}, false);
        return;
    }
    in_peaks_ = false;
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0)
        throw BadRecord{line_no_, "expected \"TAG: value\", found " + quoted(s), Resume::Skip};
    std::string tag = lower(trim(s.substr(0, colon)));
    std::string_view value = trim(s.substr(colon + 1));
    if (tag == "pk$peak") {
        auto heads = split_ws(value);
        column_ = 1;
        for (size_t i = 0; i < heads.size(); ++i)
            if (heads[i] == "rel.int.") column_ = int(i);
        in_peaks_ = true;
        return;
    }
    if (tag == "pk$num_peak") {
        long n = 0;
        if (!whole_number(value, n) || n < 0)
            throw BadRecord{line_no_, "PK$NUM_PEAK " + quoted(value) + " is not a whole number", Resume::Skip};
        num_peak_ = n;
        return;
    }
    static const std::pair<const char *, const char *> plain[] = {
        {"accession", "id"}, {"ch$name", "name"}, {"ch$smiles", "smiles"}, {"ch$iupac", "inchi"},
        {"ch$formula", "formula"}, {"license", "license"}, {"ac$instrument_type", "instrument"},
        {"ac$instrument", "instrument_name"},
    };
    for (const auto &[from, to] : plain) {
        if (tag != from) continue;
        std::string key = to;
        if (key == "name")
            if (where_.count("name")) key = "synonyms";
        add_field(std::move(key), value);
        return;
    }
    // Tags whose value starts with a sub-tag: "CH$LINK: INCHIKEY ...",
    // "AC$MASS_SPECTROMETRY: ION_MODE POSITIVE", "MS$FOCUSED_ION: ...".
    static const char *subtagged[] = {"ch$link", "sp$link", "ac$mass_spectrometry", "ac$chromatography",
                                      "ac$general", "ac$ion_mobility", "ms$focused_ion", "ms$data_processing"};
    for (const char *t : subtagged) {
        if (tag != t) continue;
        size_t i = 0;
        while (i < value.size() && !is_space(value[i])) ++i;
        std::string sub = lower(value.substr(0, i));
        std::string_view rest = trim(value.substr(i));
        sub = map_key(sub, {{"derivative_type", "derivative"}});
        if (!sub.empty()) add_field(std::move(sub), rest);
        return;
    }
    size_t dollar = tag.find('$');
    add_field(dollar == std::string::npos ? tag : tag.substr(dollar + 1), value);
}

void Parser::end_record(std::vector<Item> &out) {
    Record &r = rec_;
    size_t n = r.mz.size();
    bool sorted = true;
    for (size_t i = 1; i < n && sorted; ++i) sorted = r.mz[i - 1] < r.mz[i];
    if (!sorted) {
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), size_t(0));
        std::stable_sort(order.begin(), order.end(), [&r](size_t a, size_t b) { return r.mz[a] < r.mz[b]; });
        std::vector<int64_t> mz;
        std::vector<double> inten;
        std::vector<std::string> comments;
        for (size_t i : order) {
            bool has = !r.comments.empty();
            if (!mz.empty() && mz.back() == r.mz[i]) {
                // Same nominal m/z: the strongest stays; comments gather.
                inten.back() = std::max(inten.back(), r.intensity[i]);
                if (has && !r.comments[i].empty()) {
                    if (!comments.back().empty()) comments.back().append("; ");
                    comments.back().append(r.comments[i]);
                }
                ++r.merged;
                continue;
            }
            mz.push_back(r.mz[i]);
            inten.push_back(r.intensity[i]);
            if (has) comments.push_back(std::move(r.comments[i]));
        }
        r.mz = std::move(mz);
        r.intensity = std::move(inten);
        r.comments = std::move(comments);
    }
    Item item;
    item.record = std::move(r);
    out.push_back(std::move(item));
    reset();
}

}  // namespace corvane::spectra::io
