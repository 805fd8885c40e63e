#include "classifier/evidence.h"

#include <algorithm>
#include <cmath>

namespace ostrel_classifier {

namespace {

// The chance that a device is of a given class before any sign: one in
// five, as the few classes of computers and phones fill most networks. A
// sign of this strength or less says nothing; two agreeing signs of 50 make
// 80.
constexpr double PRIOR = 0.20;

double Odds(double p)
{
    return p / (1.0 - p);
}

double Strength(unsigned strength)
{
    // 100 would be certainty, which one sign never is.
    return std::min(strength, 99u) / 100.0;
}

unsigned Score(double share)
{
    return static_cast<unsigned>(std::lround(std::min(share, 0.99) * 100.0));
}

} // namespace

const char *SourceName(Source source)
{
    switch (source) {
    case Source::DHCP:
        return "dhcp";
    case Source::HOSTNAME:
        return "host name";
    case Source::MAC:
        return "mac";
    case Source::HTTP:
        return "http";
    case Source::SSDP:
        return "ssdp";
    case Source::MDNS:
        return "mdns";
    case Source::JA4:
        return "ja4";
    }
    return "?";
}

double ClassOdds(const std::vector<const Sign *> &per_source)
{
    // Signs no stronger than the prior add nothing, but the strongest one
    // still gives at least its own score.
    double odds = Odds(PRIOR), strongest = 0.0;
    for (const Sign *sign : per_source) {
        const double own = Odds(Strength(sign->strength));
        odds *= std::max(1.0, own / Odds(PRIOR));
        strongest = std::max(strongest, own);
    }
    return strongest <= Odds(PRIOR) ? strongest : std::max(odds, strongest);
}

Weighed Weigh(const std::vector<Sign> &signs)
{
    struct Class {
        std::string name;
        std::vector<const Sign *> evidence;
        double odds = 0;
    };
    std::vector<Class> classes;
    for (const Sign &sign : signs) {
        bool known = false;
        for (const Class &c : classes)
            known = known || c.name == sign.klass;
        if (known) continue;
        Class c;
        c.name = sign.klass;
        c.evidence = StrongestPerSource(signs, [&](const Sign &s) { return s.klass == sign.klass; });
        c.odds = ClassOdds(c.evidence);
        classes.push_back(std::move(c));
    }
    Weighed result;
    if (classes.empty()) return result;
    size_t best = 0;
    for (size_t i = 1; i < classes.size(); i++) {
        if (classes[i].odds > classes[best].odds) best = i;
    }
    // Only competitors that would be claims alone lower the score: a hint
    // for another class (a name the device asked for) is not a conflict.
    double total = 1.0 + classes[best].odds;
    for (size_t i = 0; i < classes.size(); i++) {
        const double alone = classes[i].odds / (1.0 + classes[i].odds);
        if (i == best || Score(alone) < CLAIM_SCORE) continue;
        total += classes[i].odds;
        result.against.push_back(classes[i].name + " (" + std::to_string(Score(alone)) + ")");
    }
    result.klass = classes[best].name;
    result.score = Score(classes[best].odds / total);
    result.evidence = classes[best].evidence;
    std::stable_sort(result.evidence.begin(), result.evidence.end(),
        [](const Sign *a, const Sign *b) { return a->strength > b->strength; });
    return result;
}

} // namespace ostrel_classifier
