// Digits are read eight at a time, and the decimal is turned into a double with the
// multiplication by a 128-bit power of five of Eisel and Lemire ("Number Parsing at a
// Gigabyte per Second"), or exactly with one floating-point product when the digits and the
// power of ten are both exact doubles.
#include "common/json_number.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vantory {

namespace {

constexpr int kSmallestPower = -64;
constexpr int kLargestPower = 64;

// For q in [kSmallestPower, kLargestPower]: 5^q as a 128-bit number whose top bit is set
// (truncated; for negative q, 2^b / 5^-q plus one), high word first.
constexpr std::uint64_t kPowersOfFive[][2] = {
    {0xa87fea27a539e9a5, 0x3f2398d747b36224},  // 5^-64
    {0xd29fe4b18e88640e, 0x8eec7f0d19a03aad},  // 5^-63
    {0x83a3eeeef9153e89, 0x1953cf68300424ac},  // 5^-62
    {0xa48ceaaab75a8e2b, 0x5fa8c3423c052dd7},  // 5^-61
    {0xcdb02555653131b6, 0x3792f412cb06794d},  // 5^-60
    {0x808e17555f3ebf11, 0xe2bbd88bbee40bd0},  // 5^-59
    {0xa0b19d2ab70e6ed6, 0x5b6aceaeae9d0ec4},  // 5^-58
    {0xc8de047564d20a8b, 0xf245825a5a445275},  // 5^-57
    {0xfb158592be068d2e, 0xeed6e2f0f0d56712},  // 5^-56
    {0x9ced737bb6c4183d, 0x55464dd69685606b},  // 5^-55
    {0xc428d05aa4751e4c, 0xaa97e14c3c26b886},  // 5^-54
    {0xf53304714d9265df, 0xd53dd99f4b3066a8},  // 5^-53
    {0x993fe2c6d07b7fab, 0xe546a8038efe4029},  // 5^-52
    {0xbf8fdb78849a5f96, 0xde98520472bdd033},  // 5^-51
    {0xef73d256a5c0f77c, 0x963e66858f6d4440},  // 5^-50
    {0x95a8637627989aad, 0xdde7001379a44aa8},  // 5^-49
    {0xbb127c53b17ec159, 0x5560c018580d5d52},  // 5^-48
    {0xe9d71b689dde71af, 0xaab8f01e6e10b4a6},  // 5^-47
    {0x9226712162ab070d, 0xcab3961304ca70e8},  // 5^-46
    {0xb6b00d69bb55c8d1, 0x3d607b97c5fd0d22},  // 5^-45
    {0xe45c10c42a2b3b05, 0x8cb89a7db77c506a},  // 5^-44
    {0x8eb98a7a9a5b04e3, 0x77f3608e92adb242},  // 5^-43
    {0xb267ed1940f1c61c, 0x55f038b237591ed3},  // 5^-42
    {0xdf01e85f912e37a3, 0x6b6c46dec52f6688},  // 5^-41
    {0x8b61313bbabce2c6, 0x2323ac4b3b3da015},  // 5^-40
    {0xae397d8aa96c1b77, 0xabec975e0a0d081a},  // 5^-39
    {0xd9c7dced53c72255, 0x96e7bd358c904a21},  // 5^-38
    {0x881cea14545c7575, 0x7e50d64177da2e54},  // 5^-37
    {0xaa242499697392d2, 0xdde50bd1d5d0b9e9},  // 5^-36
    {0xd4ad2dbfc3d07787, 0x955e4ec64b44e864},  // 5^-35
    {0x84ec3c97da624ab4, 0xbd5af13bef0b113e},  // 5^-34
    {0xa6274bbdd0fadd61, 0xecb1ad8aeacdd58e},  // 5^-33
    {0xcfb11ead453994ba, 0x67de18eda5814af2},  // 5^-32
    {0x81ceb32c4b43fcf4, 0x80eacf948770ced7},  // 5^-31
    {0xa2425ff75e14fc31, 0xa1258379a94d028d},  // 5^-30
    {0xcad2f7f5359a3b3e, 0x096ee45813a04330},  // 5^-29
    {0xfd87b5f28300ca0d, 0x8bca9d6e188853fc},  // 5^-28
    {0x9e74d1b791e07e48, 0x775ea264cf55347e},  // 5^-27
    {0xc612062576589dda, 0x95364afe032a819e},  // 5^-26
    {0xf79687aed3eec551, 0x3a83ddbd83f52205},  // 5^-25
    {0x9abe14cd44753b52, 0xc4926a9672793543},  // 5^-24
    {0xc16d9a0095928a27, 0x75b7053c0f178294},  // 5^-23
    {0xf1c90080baf72cb1, 0x5324c68b12dd6339},  // 5^-22
    {0x971da05074da7bee, 0xd3f6fc16ebca5e04},  // 5^-21
    {0xbce5086492111aea, 0x88f4bb1ca6bcf585},  // 5^-20
    {0xec1e4a7db69561a5, 0x2b31e9e3d06c32e6},  // 5^-19
    {0x9392ee8e921d5d07, 0x3aff322e62439fd0},  // 5^-18
    {0xb877aa3236a4b449, 0x09befeb9fad487c3},  // 5^-17
    {0xe69594bec44de15b, 0x4c2ebe687989a9b4},  // 5^-16
    {0x901d7cf73ab0acd9, 0x0f9d37014bf60a11},  // 5^-15
    {0xb424dc35095cd80f, 0x538484c19ef38c95},  // 5^-14
    {0xe12e13424bb40e13, 0x2865a5f206b06fba},  // 5^-13
    {0x8cbccc096f5088cb, 0xf93f87b7442e45d4},  // 5^-12
    {0xafebff0bcb24aafe, 0xf78f69a51539d749},  // 5^-11
    {0xdbe6fecebdedd5be, 0xb573440e5a884d1c},  // 5^-10
    {0x89705f4136b4a597, 0x31680a88f8953031},  // 5^-9
    {0xabcc77118461cefc, 0xfdc20d2b36ba7c3e},  // 5^-8
    {0xd6bf94d5e57a42bc, 0x3d32907604691b4d},  // 5^-7
    {0x8637bd05af6c69b5, 0xa63f9a49c2c1b110},  // 5^-6
    {0xa7c5ac471b478423, 0x0fcf80dc33721d54},  // 5^-5
    {0xd1b71758e219652b, 0xd3c36113404ea4a9},  // 5^-4
    {0x83126e978d4fdf3b, 0x645a1cac083126ea},  // 5^-3
    {0xa3d70a3d70a3d70a, 0x3d70a3d70a3d70a4},  // 5^-2
    {0xcccccccccccccccc, 0xcccccccccccccccd},  // 5^-1
    {0x8000000000000000, 0x0000000000000000},  // 5^0
    {0xa000000000000000, 0x0000000000000000},  // 5^1
    {0xc800000000000000, 0x0000000000000000},  // 5^2
    {0xfa00000000000000, 0x0000000000000000},  // 5^3
    {0x9c40000000000000, 0x0000000000000000},  // 5^4
    {0xc350000000000000, 0x0000000000000000},  // 5^5
    {0xf424000000000000, 0x0000000000000000},  // 5^6
    {0x9896800000000000, 0x0000000000000000},  // 5^7
    {0xbebc200000000000, 0x0000000000000000},  // 5^8
    {0xee6b280000000000, 0x0000000000000000},  // 5^9
    {0x9502f90000000000, 0x0000000000000000},  // 5^10
    {0xba43b74000000000, 0x0000000000000000},  // 5^11
    {0xe8d4a51000000000, 0x0000000000000000},  // 5^12
    {0x9184e72a00000000, 0x0000000000000000},  // 5^13
    {0xb5e620f480000000, 0x0000000000000000},  // 5^14
    {0xe35fa931a0000000, 0x0000000000000000},  // 5^15
    {0x8e1bc9bf04000000, 0x0000000000000000},  // 5^16
    {0xb1a2bc2ec5000000, 0x0000000000000000},  // 5^17
    {0xde0b6b3a76400000, 0x0000000000000000},  // 5^18
    {0x8ac7230489e80000, 0x0000000000000000},  // 5^19
    {0xad78ebc5ac620000, 0x0000000000000000},  // 5^20
    {0xd8d726b7177a8000, 0x0000000000000000},  // 5^21
    {0x878678326eac9000, 0x0000000000000000},  // 5^22
    {0xa968163f0a57b400, 0x0000000000000000},  // 5^23
    {0xd3c21bcecceda100, 0x0000000000000000},  // 5^24
    {0x84595161401484a0, 0x0000000000000000},  // 5^25
    {0xa56fa5b99019a5c8, 0x0000000000000000},  // 5^26
    {0xcecb8f27f4200f3a, 0x0000000000000000},  // 5^27
    {0x813f3978f8940984, 0x4000000000000000},  // 5^28
    {0xa18f07d736b90be5, 0x5000000000000000},  // 5^29
    {0xc9f2c9cd04674ede, 0xa400000000000000},  // 5^30
    {0xfc6f7c4045812296, 0x4d00000000000000},  // 5^31
    {0x9dc5ada82b70b59d, 0xf020000000000000},  // 5^32
    {0xc5371912364ce305, 0x6c28000000000000},  // 5^33
    {0xf684df56c3e01bc6, 0xc732000000000000},  // 5^34
    {0x9a130b963a6c115c, 0x3c7f400000000000},  // 5^35
    {0xc097ce7bc90715b3, 0x4b9f100000000000},  // 5^36
    {0xf0bdc21abb48db20, 0x1e86d40000000000},  // 5^37
    {0x96769950b50d88f4, 0x1314448000000000},  // 5^38
    {0xbc143fa4e250eb31, 0x17d955a000000000},  // 5^39
    {0xeb194f8e1ae525fd, 0x5dcfab0800000000},  // 5^40
    {0x92efd1b8d0cf37be, 0x5aa1cae500000000},  // 5^41
    {0xb7abc627050305ad, 0xf14a3d9e40000000},  // 5^42
    {0xe596b7b0c643c719, 0x6d9ccd05d0000000},  // 5^43
    {0x8f7e32ce7bea5c6f, 0xe4820023a2000000},  // 5^44
    {0xb35dbf821ae4f38b, 0xdda2802c8a800000},  // 5^45
    {0xe0352f62a19e306e, 0xd50b2037ad200000},  // 5^46
    {0x8c213d9da502de45, 0x4526f422cc340000},  // 5^47
    {0xaf298d050e4395d6, 0x9670b12b7f410000},  // 5^48
    {0xdaf3f04651d47b4c, 0x3c0cdd765f114000},  // 5^49
    {0x88d8762bf324cd0f, 0xa5880a69fb6ac800},  // 5^50
    {0xab0e93b6efee0053, 0x8eea0d047a457a00},  // 5^51
    {0xd5d238a4abe98068, 0x72a4904598d6d880},  // 5^52
    {0x85a36366eb71f041, 0x47a6da2b7f864750},  // 5^53
    {0xa70c3c40a64e6c51, 0x999090b65f67d924},  // 5^54
    {0xd0cf4b50cfe20765, 0xfff4b4e3f741cf6d},  // 5^55
    {0x82818f1281ed449f, 0xbff8f10e7a8921a4},  // 5^56
    {0xa321f2d7226895c7, 0xaff72d52192b6a0d},  // 5^57
    {0xcbea6f8ceb02bb39, 0x9bf4f8a69f764490},  // 5^58
    {0xfee50b7025c36a08, 0x02f236d04753d5b4},  // 5^59
    {0x9f4f2726179a2245, 0x01d762422c946590},  // 5^60
    {0xc722f0ef9d80aad6, 0x424d3ad2b7b97ef5},  // 5^61
    {0xf8ebad2b84e0d58b, 0xd2e0898765a7deb2},  // 5^62
    {0x9b934c3b330c8577, 0x63cc55f49f88eb2f},  // 5^63
    {0xc2781f49ffcfa6d5, 0x3cbf6b71c76b25fb},  // 5^64
};

constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The full 128-bit product of two 64-bit numbers. 32-bit targets have no 128-bit integer
// type, so there the four 32-bit partial products are summed by hand.
struct Product128 {
  std::uint64_t high;
  std::uint64_t low;
};

Product128 multiply_full(std::uint64_t a, std::uint64_t b) {
#ifdef __SIZEOF_INT128__
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#else
  std::uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32;
  std::uint64_t b_low = b & 0xFFFFFFFF, b_high = b >> 32;
  std::uint64_t low_low = a_low * b_low;
  std::uint64_t high_low = a_high * b_low;
  std::uint64_t low_high = a_low * b_high;
  std::uint64_t high_high = a_high * b_high;
  std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFF) + (low_high & 0xFFFFFFFF);
  return {high_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32),
          (middle << 32) | (low_low & 0xFFFFFFFF)};
#endif
}

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// True when the eight bytes (little-endian) are all ASCII digits.
bool eight_digits(std::uint64_t v) {
  return ((v & 0xF0F0F0F0F0F0F0F0) |
          (((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) == 0x3333333333333333;
}

// The value of eight ASCII digits, the first one most significant.
std::uint32_t parse_eight_digits(std::uint64_t v) {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kMul1 = 0x000F424000000064;  // 100 + (1000000 << 32)
  constexpr std::uint64_t kMul2 = 0x0000271000000001;  // 1 + (10000 << 32)
  v -= 0x3030303030303030;
  v = (v * 10) + (v >> 8);
  v = (((v & kMask) * kMul1) + (((v >> 16) & kMask) * kMul2)) >> 32;
  return static_cast<std::uint32_t>(v);
}

// w * 10^q as the nearest double, for w != 0 and q in the table's range. False when the
// approximation cannot decide (never seen in practice; the caller then reads the text again).
bool eisel_lemire(std::uint64_t w, int q, double& out) {
  int lz = std::countl_zero(w);
  w <<= lz;
  const std::uint64_t* power = kPowersOfFive[q - kSmallestPower];
  Product128 first = multiply_full(w, power[0]);
  std::uint64_t high = first.high;
  std::uint64_t low = first.low;
  constexpr std::uint64_t kPrecisionMask = 0xFFFFFFFFFFFFFFFF >> 55;
  if ((high & kPrecisionMask) == kPrecisionMask) {
    std::uint64_t second_high = multiply_full(w, power[1]).high;
    low += second_high;
    if (second_high > low) ++high;
    if (low == 0xFFFFFFFFFFFFFFFF && (q < -27 || q > 55)) return false;
  }
  int upperbit = static_cast<int>(high >> 63);
  int shift = upperbit + 64 - 52 - 3;
  std::uint64_t mantissa = high >> shift;
  // floor(q * log2(10)) + 63, then the exponent bias of 1023.
  int power2 = (((152170 + 65536) * q) >> 16) + 63 + upperbit - lz + 1023;
  if (power2 <= 0 || power2 >= 0x7FF) return false;
  // Exactly halfway between two doubles: round to even.
  if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == high) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << 52)) {
    mantissa = std::uint64_t{1} << 52;
    ++power2;
  }
  if (power2 >= 0x7FF) return false;
  mantissa &= ~(std::uint64_t{1} << 52);
  std::uint64_t bits = mantissa | (static_cast<std::uint64_t>(power2) << 52);
  out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace

const char* read_json_double(const char* first, const char* last, double& value) {
  const char* p = first;
  bool negative = p < last && *p == '-';
  if (negative) ++p;
  if (p == last || !is_digit(*p)) return nullptr;

  std::uint64_t w = 0;
  int digits = 0;  // significant digits gathered in w
  if (*p == '0') {
    ++p;
  } else {
    const char* start = p;
    while (p < last && is_digit(*p)) w = w * 10 + static_cast<unsigned>(*p++ - '0');
    digits = static_cast<int>(p - start);
  }
  bool integral = true;
  int exponent = 0;
  if (p + 1 < last && *p == '.' && is_digit(p[1])) {
    integral = false;
    const char* fraction = ++p;
    while (last - p >= 8) {
      std::uint64_t chunk = load8(p);
      if (!eight_digits(chunk)) break;
      w = w * 100000000 + parse_eight_digits(chunk);
      p += 8;
    }
    while (p < last && is_digit(*p)) w = w * 10 + static_cast<unsigned>(*p++ - '0');
    digits += static_cast<int>(p - fraction);
    exponent = -static_cast<int>(p - fraction);
    if (digits > 19 && digits == static_cast<int>(p - fraction)) {
      // Zeros before the first significant digit of "0.000123..." carry no digits.
      for (const char* z = fraction; z < p && *z == '0'; ++z) --digits;
    }
  }
  if (p < last && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool negative_exponent = false;
    if (q < last && (*q == '+' || *q == '-')) negative_exponent = *q++ == '-';
    if (q < last && is_digit(*q)) {
      integral = false;
      int e = 0;
      while (q < last && is_digit(*q)) {
        if (e < 100000) e = e * 10 + (*q - '0');
        ++q;
      }
      exponent += negative_exponent ? -e : e;
      p = q;
    }
  }
  if (digits > 19) return nullptr;  // w overflowed: not exact

  double result;
  if (w == 0) {
    result = 0.0;
    negative = negative && !integral;
  } else if (w <= (std::uint64_t{1} << 53) && exponent >= 0 && exponent <= 22) {
    // Both operands are exact doubles, so one rounding gives the nearest double. (Negative
    // exponents would need a division, slower than the product below.)
    result = static_cast<double>(w) * kExactPowersOfTen[exponent];
  } else if (exponent < kSmallestPower || exponent > kLargestPower ||
             !eisel_lemire(w, exponent, result)) {
    return nullptr;
  }
  value = negative ? -result : result;
  return p;
}

}  // namespace vantory
