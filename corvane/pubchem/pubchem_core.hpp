// Request URLs of the PubChem PUG REST property lookup, and the bounds the
// lookup puts on the service's answer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::pubchem {

// Percent-encodes UTF-8 text so that it stands as exactly one path segment.
// Characters that an HTTP client leaves alone in a path (letters, digits,
// "-._~" and "!$&'()*+,;=:@") stay as they are, so ordinary names give the
// same URL as before; "/", "?", "#", "%", spaces, controls, the remaining
// ASCII punctuation and every non-ASCII byte become upper-case %XX escapes.
// A segment that is exactly "." or ".." has its dots escaped too, so that it
// is not taken for a dot segment and removed from the path by the client.
std::string encode_path_segment(std::string_view text);

// base + "/" + namespace + "/" + query + "/property/SMILES/JSON", with the
// namespace and the query each encoded as one path segment; `base` is used
// as it stands.
std::string smiles_property_url(std::string_view base, std::string_view ns, std::string_view query);

// The most body bytes (after any content decoding) a lookup reads from one
// response: PubChem answers a one-compound property request with a few
// hundred bytes, so 4 MiB leaves room for any real answer.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{4} << 20;

// The total time one lookup may take, in seconds: the connection time limit
// plus the read time limit.  nullopt (no total limit) when either of them is
// unbounded (nullopt) or is not a finite number >= 0.
std::optional<double> total_time_limit(std::optional<double> connect, std::optional<double> read);

}  // namespace corvane::pubchem
