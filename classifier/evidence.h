// Weighing a device's signs: each sign names a class and has a strength (the
// score it would give alone). Signs of one class from one source are one
// piece of evidence (the strongest counts, the others add nothing: a DHCP
// client that names itself and asks for its usual list is still one client);
// pieces from independent sources multiply their odds; a competing class
// that would be a claim on its own takes its share of the score.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel_classifier {

// Where a sign comes from; signs of one source are not independent.
enum class Source { DHCP, HOSTNAME, MAC, HTTP, SSDP, MDNS, JA4 };
const char *SourceName(Source source);

struct Sign {
    std::string klass; // the class it points at ("computer-windows", ...)
    size_t kind = 0; // index of the kind whose rule gave it
    Source source = Source::DHCP;
    unsigned strength = 0; // 1 to 100: the score this sign alone gives
    std::string reason; // what was seen, for the answer's reasons
};

struct Weighed {
    std::string klass; // "" when no sign counted
    unsigned score = 0; // 0 to 99
    std::vector<const Sign *> evidence; // the counted sign of each source, strongest first
    std::vector<std::string> against; // competing claims that lowered the score, "class (score)"
};

// A score at or above it is a claim; below it a hint.
constexpr unsigned CLAIM_SCORE = 50;

// The odds of one class after its signs, from a prior that a device is of
// any one class; a sign no stronger than the prior is neutral.
double ClassOdds(const std::vector<const Sign *> &per_source);

// The best-supported class among `signs` (in `signs` order on a tie) and
// its calibrated score. `signs` must outlive the result.
Weighed Weigh(const std::vector<Sign> &signs);

// The strongest sign of each source among those `keep` accepts.
template <typename Keep>
std::vector<const Sign *> StrongestPerSource(const std::vector<Sign> &signs, Keep keep)
{
    std::vector<const Sign *> best;
    for (const Sign &sign : signs) {
        if (!keep(sign)) continue;
        bool placed = false;
        for (const Sign *&held : best) {
            if (held->source != sign.source) continue;
            if (sign.strength > held->strength) held = &sign;
            placed = true;
        }
        if (!placed) best.push_back(&sign);
    }
    return best;
}

} // namespace ostrel_classifier
