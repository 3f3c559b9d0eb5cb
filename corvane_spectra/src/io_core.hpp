// Spectrum text formats: a streaming parser that turns chunks of MSP, MGF or
// MassBank record text into plain records.  No Python here: the bindings turn
// the records into Spectrum objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvane::spectra::io {

enum class Format { Msp, Mgf, MassBank };

// One annotation of a predicted peak, as written in a peak comment.
struct Annotation {
    std::string formula;
    std::string mode;
    std::string bond;  // empty: no bond
    int generation = 0;
};

struct Record {
    long line = 0;  // first line of the record (1-based)
    // Metadata under their mapped, lower-case keys, in file order.  Repeated
    // keys are already joined ("a; b"), except "synonyms", which repeats.
    std::vector<std::pair<std::string, std::string>> fields;
    bool has_convention = false;
    std::string convention;
    std::vector<int64_t> mz;        // nominal, ascending, unique
    std::vector<double> intensity;  // the strongest of the peaks at each m/z
    // Peak comments, one per peak ("" where a peak has none); empty when no
    // peak of the record has one.  Comments of merged peaks are joined "; ".
    std::vector<std::string> comments;
    int merged = 0;  // peaks that fell on the m/z of another one
};

// A finished record, or the reason a record was rejected.
struct Item {
    bool ok = true;
    Record record;
    long line = 0;
    std::string reason;
};

class Parser {
public:
    // Peaks above `max_mz`, lines and records longer than `max_line` bytes
    // are errors of their record; a long line is passed over without being
    // held, so memory stays bounded whatever the input.
    Parser(Format format, double max_mz, size_t max_line);

    // Parses the complete lines of `data` (after any partial line held back
    // from the previous call) and appends each finished record or error.
    // After an error the parser skips to the start of the next record.
    void feed(std::string_view data, std::vector<Item> &out);
    // The end of the input: the last line, and a record left open is an error.
    void finish(std::vector<Item> &out);
    long lines() const { return line_no_; }

private:
    struct Bad {
        long line;
        std::string reason;
    };
    void line(std::string_view text, std::vector<Item> &out);
    void overlong(std::vector<Item> &out);
    void line_msp(std::string_view s, std::vector<Item> &out);
    void line_mgf(std::string_view s, std::vector<Item> &out);
    void line_massbank(std::string_view raw, std::string_view s, std::vector<Item> &out);
    void end_record(std::vector<Item> &out);
    void reset();
    void add_field(std::string key, std::string_view value);
    void add_peak(std::string_view mz, std::string_view intensity, std::string_view comment, bool has_comment);
    int peak_line_msp(std::string_view s);

    Format format_;
    double max_mz_;
    size_t max_line_;
    std::string pending_;
    bool discarding_ = false;  // inside a line longer than max_line_
    size_t record_bytes_ = 0;  // text of the open record so far
    // MSP: 1 when the file's first record starts with "Name:", so a "Name:"
    // line is where the next record starts after a rejected one; 0 when it
    // does not (records are then told apart by blank lines); -1: no record yet.
    int name_leads_ = -1;
    long line_no_ = 0;
    bool open_ = false;      // a record is being read
    bool skipping_ = false;  // after an error, until the next record starts
    Record rec_;
    // Where each key (synonyms aside) sits in rec_.fields: a record with
    // many fields is read in time linear in its length.
    std::unordered_map<std::string, size_t> where_;
    bool any_comment_ = false;
    // MSP
    long expect_ = -1;  // peaks still to read; -1: no "Num Peaks" yet
    long expect_total_ = 0;
    bool done_ = false;  // all peaks read, waiting for the record's end
    // MassBank
    bool in_peaks_ = false;
    int column_ = -1;  // intensity column of PK$PEAK, -1: no block yet
    long num_peak_ = -1;
};

// "FORMULA MODE [BOND] gN; ..." -> annotations; false when the text is not
// in that form.
bool parse_annotations(std::string_view text, std::vector<Annotation> &out);

// "positive" / "negative" for the usual spellings of an ion mode.
std::string normal_ion_mode(std::string_view value);

}  // namespace corvane::spectra::io
