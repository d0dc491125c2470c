#include "integer_predicates.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tevu::geom::integer {

namespace {

using Limbs = std::vector<std::uint64_t>;  // a magnitude, least significant limb first
using Wide = unsigned __int128;

void trim(Limbs& m) {
    while (!m.empty() && m.back() == 0) m.pop_back();
}

int compare(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

Limbs add(const Limbs& a, const Limbs& b) {
    const Limbs& longer = a.size() >= b.size() ? a : b;
    const Limbs& shorter = a.size() >= b.size() ? b : a;
    Limbs sum(longer.size() + 1);
    Wide carry = 0;
    for (std::size_t i = 0; i < longer.size(); ++i) {
        carry += static_cast<Wide>(longer[i]) + (i < shorter.size() ? shorter[i] : 0);
        sum[i] = static_cast<std::uint64_t>(carry);
        carry >>= 64;
    }
    sum.back() = static_cast<std::uint64_t>(carry);
    trim(sum);
    return sum;
}

// a - b for a >= b.
Limbs subtract(const Limbs& a, const Limbs& b) {
    Limbs difference(a.size());
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t take = i < b.size() ? b[i] : 0;
        const std::uint64_t d = a[i] - take - borrow;
        borrow = (a[i] < take || (a[i] == take && borrow != 0)) ? 1 : 0;
        difference[i] = d;
    }
    trim(difference);
    return difference;
}

Limbs multiply(const Limbs& a, const Limbs& b) {
    if (a.empty() || b.empty()) return {};
    Limbs product(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        Wide carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            carry += static_cast<Wide>(a[i]) * b[j] + product[i + j];
            product[i + j] = static_cast<std::uint64_t>(carry);
            carry >>= 64;
        }
        product[i + b.size()] = static_cast<std::uint64_t>(carry);
    }
    trim(product);
    return product;
}

// A signed integer of any length; zero has no limbs and is not negative.
struct Integer {
    Limbs magnitude;
    bool negative = false;

    int sign() const { return magnitude.empty() ? 0 : (negative ? -1 : 1); }

    friend Integer operator+(const Integer& a, const Integer& b) {
        if (a.negative == b.negative) return {add(a.magnitude, b.magnitude), a.negative};
        const int order = compare(a.magnitude, b.magnitude);
        if (order == 0) return {};
        return order > 0 ? Integer{subtract(a.magnitude, b.magnitude), a.negative}
                         : Integer{subtract(b.magnitude, a.magnitude), b.negative};
    }
    friend Integer operator-(const Integer& a, const Integer& b) {
        Integer negated = b;
        negated.negative = !b.negative && !b.magnitude.empty();
        return a + negated;
    }
    friend Integer operator*(const Integer& a, const Integer& b) {
        Limbs m = multiply(a.magnitude, b.magnitude);
        const bool negative = !m.empty() && a.negative != b.negative;
        return {std::move(m), negative};
    }
};

// Every finite double is a whole number of 53 bits at most times 2^(e - 53),
// with e from frexp.
int unit_exponent(double v) {
    int e = 0;
    std::frexp(v, &e);
    return e - 53;
}

// The exponent of the smallest unit the nonzero values use (0 if none is).
int smallest_unit(std::initializer_list<const Vec3*> points) {
    int unit = INT_MAX;
    for (const Vec3* p : points) {
        for (const double v : {p->x, p->y, p->z}) {
            if (v != 0.0) unit = std::min(unit, unit_exponent(v));
        }
    }
    return unit == INT_MAX ? 0 : unit;
}

// v / 2^unit, a whole number as unit is at most v's own unit.
Integer whole(double v, int unit) {
    if (v == 0.0) return {};
    int e = 0;
    const double fraction = std::frexp(std::fabs(v), &e);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = e - 53 - unit;
    Limbs m(static_cast<std::size_t>(shift / 64) + 2, 0);
    const int bits = shift % 64;
    m[shift / 64] = mantissa << bits;
    m[shift / 64 + 1] = bits == 0 ? 0 : mantissa >> (64 - bits);
    trim(m);
    return {std::move(m), v < 0.0};
}

struct Row {
    Integer x, y, z;
};

Row row(const Vec3& p, int unit) { return {whole(p.x, unit), whole(p.y, unit), whole(p.z, unit)}; }
Row difference(const Row& a, const Row& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

}  // namespace

int orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    const int unit = smallest_unit({&a, &b, &c, &d});
    const Row rd = row(d, unit);
    const Row ad = difference(row(a, unit), rd);
    const Row bd = difference(row(b, unit), rd);
    const Row cd = difference(row(c, unit), rd);
    const Integer det = ad.z * (bd.x * cd.y - cd.x * bd.y) + bd.z * (cd.x * ad.y - ad.x * cd.y) +
                        cd.z * (ad.x * bd.y - bd.x * ad.y);
    return det.sign();
}

int insphere(const Vec3* const p[5]) {
    const int unit = smallest_unit({p[0], p[1], p[2], p[3], p[4]});
    const Row e = row(*p[4], unit);
    const Row a = difference(row(*p[0], unit), e);
    const Row b = difference(row(*p[1], unit), e);
    const Row c = difference(row(*p[2], unit), e);
    const Row d = difference(row(*p[3], unit), e);
    // Along the lift column, as the floating-point stages expand it.
    const Integer ab = a.x * b.y - b.x * a.y, bc = b.x * c.y - c.x * b.y;
    const Integer cd = c.x * d.y - d.x * c.y, da = d.x * a.y - a.x * d.y;
    const Integer ac = a.x * c.y - c.x * a.y, bd = b.x * d.y - d.x * b.y;
    const Integer abc = a.z * bc - b.z * ac + c.z * ab;
    const Integer bcd = b.z * cd - c.z * bd + d.z * bc;
    const Integer cda = c.z * da + d.z * ac + a.z * cd;
    const Integer dab = d.z * ab + a.z * bd + b.z * da;
    auto lift = [](const Row& r) { return r.x * r.x + r.y * r.y + r.z * r.z; };
    const Integer det = (lift(d) * abc - lift(c) * dab) + (lift(b) * cda - lift(a) * bcd);
    return det.sign();
}

bool collinear(const Vec3& a, const Vec3& b, const Vec3& c) {
    const int unit = smallest_unit({&a, &b, &c});
    const Row ra = row(a, unit);
    const Row u = difference(row(b, unit), ra);
    const Row v = difference(row(c, unit), ra);
    return (u.y * v.z - u.z * v.y).sign() == 0 && (u.z * v.x - u.x * v.z).sign() == 0 &&
           (u.x * v.y - u.y * v.x).sign() == 0;
}

}  // namespace tevu::geom::integer
