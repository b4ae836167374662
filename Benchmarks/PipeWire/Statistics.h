#pragma once
// Medians and spreads of repeated measurements.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Spread {
    double min = NAN, median = NAN, max = NAN;
};

inline Spread spread(const std::vector<double>& values)
{
    if (values.empty())
        return {};
    return {*std::min_element(values.begin(), values.end()), median(values),
            *std::max_element(values.begin(), values.end())};
}

// "v1 v2 ...", each `scale * v` printed with `format`.
inline std::string list(const std::vector<double>& values, const char* format, double scale = 1)
{
    std::string text;
    char item[32];
    for (double v : values) {
        std::snprintf(item, sizeof item, format, scale * v);
        text += (text.empty() ? "" : " ") + std::string(item);
    }
    return text;
}

} // namespace bench
