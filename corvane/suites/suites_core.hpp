// Panels, validation suite, halogen test and demo: grid geometry, the
// colour maps, the C-X decision and the text of every printed line.  Text is
// UTF-8; field widths count code points, the way the interpreter pads text.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace corvane::suites {

// ---- grids -----------------------------------------------------------------

// A panel grid: `rows` = ceil(n / cols), and the figure size in inches.
struct Grid {
    long long rows;
    double width;
    double height;
};

// Grid of `n` cells in `cols` columns, each cell `cell_w` x `cell_h` inches.
// Valid for cols != 0 and |n|, |cols| below 2**53 (exact in a double).
Grid panel_grid(long long n, long long cols, double cell_w, double cell_h);

// Cell sizes and titles of the two panels and the halogen test.
inline constexpr double kVifCellW = 3.2, kVifCellH = 3.4;
inline constexpr double kMsCellW = 5.5, kMsCellH = 2.8;
inline constexpr int kHalogenColW = 5;
inline constexpr double kHalogenFigH = 8.8;

inline constexpr const char *kVifPanelTitle = "VIF analysis \u2014 key molecules in human biochemistry";
inline constexpr const char *kMsPanelTitle = "VIF-predicted mass spectra \u2014 biomolecules";
inline constexpr const char *kHalogenPanelTitle =
    "Substituted-halogen test (K4/square): structure (top) + MS (bottom)";

// ---- text helpers ----------------------------------------------------------

// Number of code points of a UTF-8 text (lone surrogates encoded as three
// bytes count one).
std::size_t code_points(const std::string &s);
// Text padded with spaces to at least `width` code points: on the right
// (left-aligned) or on the left (right-aligned).
std::string ljust(const std::string &s, std::size_t width);
std::string rjust(const std::string &s, std::size_t width);

// ---- panels ----------------------------------------------------------------

// "<item>\n(not found)" / "<item>\n(error)" of the VIF panel.
std::string vif_placeholder(const std::string &item, bool not_found);
// "<item> (not found)" / "<item> (error)" of the spectrum panel.
std::string ms_placeholder(const std::string &item, bool not_found);
// "<item>\nLPI={a,b,c}" (counts already in text form).
std::string vif_cell_title(const std::string &item, const std::string &np, const std::string &n0,
                           const std::string &nm);

// ---- validation suite ------------------------------------------------------

std::string validate_separator();  // 62 "="
inline constexpr const char *kLpiHeading = "LPI validation (Tarvel 1985)";
inline constexpr const char *kMsHeading = "MS soft-bond validation (Movrin 2017)";
inline constexpr const char *kResult = "RESULT:";
const char *verdict(bool all_passed);

// "  [PASS] <name> <smiles> expected=<e>  found=<f>"; `name` and `smiles`
// already padded to their fields.
std::string lpi_row(bool ok, const std::string &name_field, const std::string &smiles_field,
                    const std::string &expected, const std::string &found);
// "  [PASS] <name> m/z=<mz> expected  found peaks=<peaks>"; `name` padded.
std::string ms_row(bool ok, const std::string &name_field, const std::string &expected_mz,
                   const std::string &peaks);

// ---- halogen test ----------------------------------------------------------

std::string halogen_separator();  // 78 "="
inline constexpr const char *kHalogenHeading = "SUBSTITUTED-HALOGEN TEST \u2014 K4 (square) representation";
inline constexpr const char *kNoCx = "C-X does NOT cleave";

// Whether a bond label names a carbon-halogen cut: it contains "Cl", else
// "F", else "Br" (case-sensitive substring tests).
bool is_cx_label(const std::string &label);

// One cleaving record of the C-X text: its label and its fragments as
// (formula, nominal mass) texts.
struct CxRecord {
    std::string label;
    std::vector<std::pair<std::string, std::string>> fragments;
};
// "L->A(77),B(35); M->..." or the no-cleavage text for an empty list.
std::string cx_text(const std::vector<CxRecord> &records);
// "<name> LPI=<lpi> | C-X: <cx>"; `name` and `lpi` already padded.
std::string halogen_row(const std::string &name_field, const std::string &lpi_field, const std::string &cx);
// 24 spaces, " [", the note, "]".
std::string halogen_note(const std::string &note);
// "<name>\nLPI = {a, b, c}".
std::string halogen_cell_title(const std::string &name, const std::string &np, const std::string &n0,
                               const std::string &nm);
std::string panel_saved(const std::string &path);  // "Panel saved: <path>"

// ---- demo ------------------------------------------------------------------

inline constexpr const char *kDemoFragments = "Fragments (single-cut):";
std::string demo_molecule(const std::string &smiles);  // "Molecule : <smiles>"
// "M+ = <m>   LPI = {a, b, c}".
std::string demo_mass(const std::string &m, const std::string &np, const std::string &n0, const std::string &nm);
// "   <label>  ->  A(77), B(35)"; `label` already right-aligned in its field.
std::string demo_fragment(const std::string &label_field,
                          const std::vector<std::pair<std::string, std::string>> &fragments);
std::string demo_path(const std::string &prefix, bool graph);  // prefix + "_graph.png" / "_ms.png"
std::string demo_saved(const std::string &prefix);  // "Saved: P_graph.png , P_ms.png"

// Message of a row whose SMILES the analysis could not read:
// "<reason>: <smiles repr>".
std::string unreadable(const std::string &reason, const std::string &smiles_repr);

}  // namespace corvane::suites
