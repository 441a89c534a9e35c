// Statistics and the table of figures.
#include "report.h"

#include <algorithm>
#include <cmath>

#include "harness.h"

double Median(std::vector<double> v)
{
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Max(const std::vector<double>& v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

std::string Join(const std::vector<double>& v, const char* fmt)
{
    std::string s;
    for (double x : v) {
        s += (s.empty() ? "" : " ") + Fmt(fmt, x);
    }
    return s;
}


Row& Table::At(const std::string& figure, const std::string& target)
{
    for (Row& r : rows) {
        if (r.figure == figure) {
            return r;
        }
    }
    rows.push_back(Row{figure, target, {}});
    return rows.back();
}

void Table::Set(const std::string& figure, const std::string& target, const std::string& build, const std::string& v)
{
    At(figure, target).value[build] = v;
}

std::string Verdict(double v, double limit)
{
    if (std::isnan(v)) {
        return "n/a";
    }
    return v <= limit ? "ok" : "MISSED";
}

std::string Verdict(double v, double limit, const char* fmt)
{
    return Fmt(fmt, v) + " " + Verdict(v, limit);
}
