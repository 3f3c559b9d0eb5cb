#include "suites_core.hpp"

#include <cmath>

namespace corvane::suites {

Grid panel_grid(long long n, long long cols, double cell_w, double cell_h) {
    // Both operands are exact doubles, so the quotient is the correctly
    // rounded true division; the ceiling of it is the row count.
    const double q = static_cast<double>(n) / static_cast<double>(cols);
    Grid g;
    g.rows = static_cast<long long>(std::ceil(q));
    g.width = cell_w * static_cast<double>(cols);
    g.height = cell_h * static_cast<double>(g.rows);
    return g;
}

std::size_t code_points(const std::string &s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string ljust(const std::string &s, std::size_t width) {
    std::size_t n = code_points(s);
    return n >= width ? s : s + std::string(width - n, ' ');
}

std::string rjust(const std::string &s, std::size_t width) {
    std::size_t n = code_points(s);
    return n >= width ? s : std::string(width - n, ' ') + s;
}

std::string vif_placeholder(const std::string &item, bool not_found) {
    return item + (not_found ? "\n(not found)" : "\n(error)");
}

std::string ms_placeholder(const std::string &item, bool not_found) {
    return item + (not_found ? " (not found)" : " (error)");
}

std::string vif_cell_title(const std::string &item, const std::string &np, const std::string &n0,
                           const std::string &nm) {
    return item + "\nLPI={" + np + "," + n0 + "," + nm + "}";
}

std::string validate_separator() { return std::string(62, '='); }

const char *verdict(bool all_passed) {
    return all_passed ? "ALL TESTS PASSED \u2713" : "SOME TESTS FAILED \u2717";
}

static std::string status(bool ok) { return ok ? "  [PASS] " : "  [FAIL] "; }

std::string lpi_row(bool ok, const std::string &name_field, const std::string &smiles_field,
                    const std::string &expected, const std::string &found) {
    return status(ok) + name_field + " " + smiles_field + " expected=" + expected + "  found=" + found;
}

std::string ms_row(bool ok, const std::string &name_field, const std::string &expected_mz,
                   const std::string &peaks) {
    return status(ok) + name_field + " m/z=" + expected_mz + " expected  found peaks=" + peaks;
}

std::string halogen_separator() { return std::string(78, '='); }

bool is_cx_label(const std::string &label) {
    return label.find("Cl") != std::string::npos || label.find('F') != std::string::npos ||
           label.find("Br") != std::string::npos;
}

std::string cx_text(const std::vector<CxRecord> &records) {
    if (records.empty()) return kNoCx;
    std::string out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i) out += "; ";
        out += records[i].label + "->";
        const auto &frags = records[i].fragments;
        for (std::size_t j = 0; j < frags.size(); ++j) {
            if (j) out += ",";
            out += frags[j].first + "(" + frags[j].second + ")";
        }
    }
    return out;
}

std::string halogen_row(const std::string &name_field, const std::string &lpi_field, const std::string &cx) {
    return name_field + " LPI=" + lpi_field + " | C-X: " + cx;
}

std::string halogen_note(const std::string &note) { return std::string(24, ' ') + " [" + note + "]"; }

std::string halogen_cell_title(const std::string &name, const std::string &np, const std::string &n0,
                               const std::string &nm) {
    return name + "\nLPI = {" + np + ", " + n0 + ", " + nm + "}";
}

std::string panel_saved(const std::string &path) { return "Panel saved: " + path; }

std::string demo_molecule(const std::string &smiles) { return "Molecule : " + smiles; }

std::string demo_mass(const std::string &m, const std::string &np, const std::string &n0, const std::string &nm) {
    return "M+ = " + m + "   LPI = {" + np + ", " + n0 + ", " + nm + "}";
}

std::string demo_fragment(const std::string &label_field,
                          const std::vector<std::pair<std::string, std::string>> &fragments) {
    std::string out = "   " + label_field + "  ->  ";
    for (std::size_t j = 0; j < fragments.size(); ++j) {
        if (j) out += ", ";
        out += fragments[j].first + "(" + fragments[j].second + ")";
    }
    return out;
}

std::string demo_path(const std::string &prefix, bool graph) {
    return prefix + (graph ? "_graph.png" : "_ms.png");
}

std::string demo_saved(const std::string &prefix) {
    return "Saved: " + prefix + "_graph.png , " + prefix + "_ms.png";
}

std::string unreadable(const std::string &reason, const std::string &smiles_repr) {
    return reason + ": " + smiles_repr;
}

}  // namespace corvane::suites
