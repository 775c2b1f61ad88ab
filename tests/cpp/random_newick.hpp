// Random Newick texts for the differential tests of the plain-text reader: trees in the
// forms tree files write (MrBayes, BEAST: numbers for labels, annotations, lengths in every
// notation), optionally spoiled by one of the quirks only the full parser takes, and raw
// noise built from Newick's own characters.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace kestrilune::testing_support {

struct NewickStyle {
    std::size_t n_leaves = 8;
    bool annotations = true;  // [&...] on nodes and between ':' and the number
    bool polytomies = true;   // groups of three children and more, single-child groups
    bool odd_lengths = true;  // -0.0, inf, nan, 1e400, missing numbers
    double quirk_rate = 0.0;  // chance per text of one quirk the plain reader declines
};

class NewickGen {
public:
    explicit NewickGen(unsigned seed) : rng_(seed) {}

    // A tree whose leaves are labelled 1..n_leaves once each, in random order.
    std::string tree(const NewickStyle& style) {
        std::vector<std::string> parts;
        std::vector<int> labels(style.n_leaves);
        for (std::size_t k = 0; k < labels.size(); ++k) {
            labels[k] = static_cast<int>(k) + 1;
        }
        std::shuffle(labels.begin(), labels.end(), rng_);
        for (const int label : labels) {
            parts.push_back(std::to_string(label) + annotation(style, 0.2) + length(style));
        }
        // Join random neighbours until one group remains.
        while (parts.size() > 1 || parts[0].front() != '(' || (style.polytomies && pick(0.05))) {
            std::size_t take = 2;
            if (style.polytomies && pick(0.2)) {
                take = pick(0.5) ? 1 : 3;
            }
            take = std::min(take, parts.size());
            const std::size_t at = uniform(parts.size() - take + 1);
            std::string group = "(";
            for (std::size_t k = 0; k < take; ++k) {
                group += (k > 0 ? "," : "") + parts[at + k];
            }
            group += ")";
            if (pick(0.1)) {
                group += 'n';
                group += std::to_string(uniform(100));
            }
            group += annotation(style, 0.3) + length(style);
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(at),
                        parts.begin() + static_cast<std::ptrdiff_t>(at + take));
            parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(at), group);
        }
        std::string text = (pick(0.5) ? "[&R] " : "") + parts[0] + ";";
        if (pick(style.quirk_rate)) {
            text = quirk(text);
        }
        return text;
    }

    // Newick characters in random order: almost never a tree, sometimes nearly one.
    std::string noise(std::size_t size) {
        static const char* const kTokens[] = {
            "(",   ")",   ",", ":",  ";",  "[&a=1]",   "[c]",
            "[",   "]",   " ", "\"", "1",  "23",       "A",
            "0.5", "e-3", ".", "-",  "\t", "\xC3\xA9", "\xE2\x80\x83",
            "nan"};
        std::string text;
        for (std::size_t k = 0; k < size; ++k) {
            text += kTokens[uniform(std::size(kTokens))];
        }
        return text;
    }

    // One random byte changed, inserted or removed.
    std::string mutate(std::string text) {
        static const std::string kBytes = "(),:;[]&\" 1aE.-+e\t\xC3";
        const std::size_t at = uniform(text.size() + 1);
        const char byte = kBytes[uniform(kBytes.size())];
        switch (uniform(3)) {
            case 0:
                if (at < text.size()) {
                    text[at] = byte;
                }
                break;
            case 1:
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte);
                break;
            default:
                if (at < text.size()) {
                    text.erase(at, 1);
                }
        }
        return text;
    }

    bool pick(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    std::size_t uniform(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

private:
    std::string annotation(const NewickStyle& style, double p) {
        if (!style.annotations || !pick(p)) {
            return "";
        }
        std::string text = "[&rate=";
        text += std::to_string(uniform(1000));
        text += ",height_95%_HPD={0.1,0.2}]";
        return text;
    }

    std::string length(const NewickStyle& style) {
        if (pick(0.1)) {
            return "";
        }
        std::string out = ":";
        if (style.annotations && pick(0.4)) {
            out += "[&rate=0.";
            out += std::to_string(uniform(100000));
            out += ']';
        }
        const double value = std::uniform_real_distribution<double>(0, 2)(rng_);
        char buffer[64];
        switch (uniform(style.odd_lengths ? 8 : 4)) {
            case 0:
                std::snprintf(buffer, sizeof buffer, "%.6e", value);
                break;
            case 1:
                std::snprintf(buffer, sizeof buffer, "%.17g", value);
                break;
            case 2:
                std::snprintf(buffer, sizeof buffer, "%.3f", value);
                break;
            case 3:
                std::snprintf(buffer, sizeof buffer, "%dE-%d", static_cast<int>(uniform(99)),
                              static_cast<int>(uniform(12)));
                break;
            case 4:
                std::snprintf(buffer, sizeof buffer, "-0.0");
                break;
            case 5:
                std::snprintf(buffer, sizeof buffer, "%s", pick(0.5) ? "inf" : "NaN");
                break;
            case 6:
                std::snprintf(buffer, sizeof buffer, "1e400");
                break;
            default:
                buffer[0] = '\0';  // ':' and no number
        }
        return out + buffer;
    }

    // Something the plain reader leaves to the full parser.
    std::string quirk(std::string text) {
        static const char* const kInserts[] = {"\"q\"", "[comment]", " ", "\xC3\xA9", "]"};
        const std::size_t at = uniform(text.size());
        text.insert(at, kInserts[uniform(std::size(kInserts))]);
        return text;
    }

    std::mt19937 rng_;
};

}  // namespace kestrilune::testing_support
