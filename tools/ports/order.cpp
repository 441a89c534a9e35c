// torvex-ports: the order ports are listed in, shared with torvex-rack --all,
// and the name a unit goes by.
#include <algorithm>

#include "ports.h"

namespace {

// Adapters on USB first, since that is what a technician has just plugged in.
int Rank(const Port& p)
{
    return p.Usb ? 0 : 1;
}

// Numbers inside names compare by value, so that ttyS2 comes before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ei = i;
            size_t ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') {
                ei++;
            }
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') {
                ej++;
            }
            const std::string na = a.substr(i, ei - i);
            const std::string nb = b.substr(j, ej - j);
            const size_t za = na.find_first_not_of('0');
            const size_t zb = nb.find_first_not_of('0');
            const std::string va = za == std::string::npos ? "" : na.substr(za);
            const std::string vb = zb == std::string::npos ? "" : nb.substr(zb);
            if (va.size() != vb.size()) {
                return va.size() < vb.size();
            }
            if (va != vb) {
                return va < vb;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            i++;
            j++;
        }
    }
    return i == a.size() && j != b.size();  // a is where b begins
}

}  // namespace

void SortForListing(std::vector<Port>* ports)
{
    std::stable_sort(ports->begin(), ports->end(), [](const Port& a, const Port& b) {
        if (Rank(a) != Rank(b)) {
            return Rank(a) < Rank(b);
        }
        return NaturalLess(a.Name, b.Name);
    });
}

std::string UnitStableName(const Port& p)
{
    return p.StableName.empty() ? p.Name : p.StableName;
}

std::string UnitIdentity(const Port& p)
{
    return p.Usb && !p.Serial.empty() ? p.Serial : UnitStableName(p);
}
