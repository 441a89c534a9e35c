// Statistics over samples, and the table of figures: one row per figure, one
// value per program.
#pragma once

#include <map>
#include <string>
#include <vector>

double Median(std::vector<double> v);
double Max(const std::vector<double>& v);
std::string Join(const std::vector<double>& v, const char* fmt);

// One row: a figure, its target, and a value per target build.
struct Row {
    std::string figure;
    std::string target;
    std::map<std::string, std::string> value;
};

struct Table {
    std::vector<Row> rows;
    Row& At(const std::string& figure, const std::string& target);
    void Set(const std::string& figure, const std::string& target, const std::string& build, const std::string& v);
};

// "ok" or "MISSED" against an upper limit; "n/a" for no value.
std::string Verdict(double v, double limit);
std::string Verdict(double v, double limit, const char* fmt);
