// The URL path-segment encoder of the PubChem lookup.
#include <doctest/doctest.h>

#include <cmath>
#include <optional>
#include <string>

#include "../../corvane/pubchem/pubchem_core.hpp"

using corvane::pubchem::encode_path_segment;
using corvane::pubchem::smiles_property_url;

TEST_CASE("one path segment, ordinary names unchanged") {
    CHECK(encode_path_segment("aspirin") == "aspirin");
    CHECK(encode_path_segment("lactic acid") == "lactic%20acid");
    CHECK(encode_path_segment("a/b?c#d%e") == "a%2Fb%3Fc%23d%25e");
    CHECK(encode_path_segment("2,4-D (acid)") == "2,4-D%20(acid)");
    CHECK(encode_path_segment("-._~!$&'()*+,;=:@") == "-._~!$&'()*+,;=:@");
    CHECK(encode_path_segment("\xc3\xa9") == "%C3%A9");  // é
    CHECK(encode_path_segment(std::string("\x01\x7f", 2)) == "%01%7F");
}

TEST_CASE("dot segments are escaped") {
    CHECK(encode_path_segment(".") == "%2E");
    CHECK(encode_path_segment("..") == "%2E%2E");
    CHECK(encode_path_segment("...") == "...");
    CHECK(encode_path_segment("") == "");
}

TEST_CASE("the property URL") {
    CHECK(smiles_property_url("https://x/rest", "name", "water") == "https://x/rest/name/water/property/SMILES/JSON");
    CHECK(smiles_property_url("b", "cid", "a/b") == "b/cid/a%2Fb/property/SMILES/JSON");
}

TEST_CASE("total time limit of a lookup") {
    using corvane::pubchem::total_time_limit;
    CHECK(total_time_limit(1.0, 1.0) == std::optional<double>(2.0));
    CHECK(total_time_limit(3.05, 27.0) == std::optional<double>(30.05));
    CHECK(total_time_limit(0.0, 0.5) == std::optional<double>(0.5));
    CHECK(total_time_limit(std::nullopt, 1.0) == std::nullopt);
    CHECK(total_time_limit(1.0, std::nullopt) == std::nullopt);
    CHECK(total_time_limit(-1.0, 1.0) == std::nullopt);
    CHECK(total_time_limit(std::nan(""), 1.0) == std::nullopt);
    CHECK(total_time_limit(HUGE_VAL, 1.0) == std::nullopt);
    CHECK(total_time_limit(1e308, 1e308) == std::nullopt);
}
