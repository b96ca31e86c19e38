// count(): the HyperLogLog++ estimate of a sketch in either form (see estimate.h).

#include "sketch/estimate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "sketch/cardinality_sketch.h"
#include "sketch/hllpp_p14_tables.h"

namespace sketch {
namespace {

// 2^-r exactly, built from the exponent bits: r is at most 51, far from subnormals.
constexpr double inverse_power_of_two(std::uint32_t r) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(1023 - r) << 52);
}

static_assert(inverse_power_of_two(0) == 1.0 && inverse_power_of_two(51) * 0x1p51 == 1.0,
              "every register's term is the exact power of two, built from exponent bits");

}  // namespace

double CardinalitySketch::count() {
    if (!registers_) {
        merge_sparse();
    }
    if (!registers_) {
        return sparse_estimate(sparse_.entry_count());
    }
    return dense_estimate(*registers_);
}

double sparse_estimate(std::uint64_t entry_count) {
    const std::uint64_t empty_buckets = kSparseRegisterCount - entry_count;
    return std::log(static_cast<double>(kSparseRegisterCount) /
                    static_cast<double>(empty_buckets)) *
           static_cast<double>(kSparseRegisterCount);
}

double dense_estimate(const RegistersPlus& registers) {
    const std::uint64_t zeros = registers.zero_count();
    if (zeros > 0) {
        const double m = static_cast<double>(kRegisterCount);
        const double linear = std::log(m / static_cast<double>(zeros)) * m;
        if (linear <= kLinearCountingThreshold) {
            return linear;
        }
    }
    return bias_corrected(raw_estimate(registers));
}

double raw_estimate(const RegistersPlus& registers) {
    double sum = 0.0;
    for (std::size_t i = 0; i < registers.register_count(); ++i) {
        sum += inverse_power_of_two(registers.get(i));
    }
    const double m_squared = static_cast<double>(kRegisterCount * kRegisterCount);
    return (m_squared * kAlpha) / sum;
}

double bias_corrected(double e) {
    if (e <= kBiasCorrectionLimit) {
        return e - estimate_bias(e);
    }
    return e;
}

double estimate_bias(double e) {
    const auto& re = kRawEstimateData;
    const auto& b = kBiasData;
    if (e <= re.front()) {
        return b.front();
    }
    if (e >= re.back()) {
        return b.back();
    }
    // The first row whose raw estimate is at least e; 1 <= i <= 200 by the tests above.
    const std::size_t i =
        static_cast<std::size_t>(std::lower_bound(re.begin(), re.end(), e) - re.begin());
    const double bias_step = b[i] - b[i - 1];
    const double estimate_step = re[i] - re[i - 1];
    const double fraction = (e - re[i - 1]) / estimate_step;
    return bias_step * fraction + b[i - 1];
}

}  // namespace sketch
