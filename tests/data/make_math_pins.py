"""Writes math_pins.tsv: the platform math library's results, to the bit, at the arguments a fit
feeds it. Run on a reference machine (glibc on x86-64 with FMA, or on arm64):

    python tests/data/make_math_pins.py > tests/data/math_pins.tsv

Each row: function, argument bits, result bits (IEEE doubles as 16 hex digits), and where the
argument comes from. ln_gamma is the library's own Lanczos sum, rebuilt here operation by
operation (Python floats round as C++ doubles without contraction).
"""

import math
import struct

LANCZOS = (
    0.9999999999998099, 676.5203681218851, -1259.1392167224028, 771.3234287776531,
    -176.6150291621406, 12.507343278686905, -0.13857109526572012, 9.984369578019572e-06,
    1.5056327351493116e-07,
)
NEGATIVE_LN2 = struct.unpack("<d", bytes.fromhex("EF39FAFE422EE6BF"))[0]


def bits(value: float) -> str:
    return format(struct.unpack("<Q", struct.pack("<d", value))[0], "016x")


def ln_gamma(x: float) -> float:
    assert x >= 0.5, "the fit never reflects"
    z = x - 1.0
    a = LANCZOS[0]
    for i in range(1, 9):
        a += LANCZOS[i] / (z + float(i))
    t = z + 7.5
    return math.log(a) + ((math.log(t) * (z + 0.5) + 0.9189385332046727) - t)


def default_beta(alphabet_size: int) -> float:
    return 1.0 - math.exp((float(alphabet_size) + -1.0) * NEGATIVE_LN2)


def rows():
    # BIC: shares c/n of small totals (tabulated) and of larger ones, near ties among them.
    for n in range(1, 25):
        for c in range(1, n + 1):
            yield "log", c / n, f"share {c}/{n}"
    for c, n in ((135, 202), (67, 202), (202, 606), (404, 606), (1, 3), (2, 3), (99, 100),
                 (1, 1000003), (1000002, 1000003), (123456, 654321), (63, 64), (1, 64)):
        yield "log", c / n, f"share {c}/{n}"
    # BIC's penalty and Peres-Shields' depth and cap: the sample size.
    for n in (2, 3, 10, 100, 202, 606, 1000, 65536, 10**6, 2**31 - 1, 2**31 + 1, 2**32 + 5, 10**9):
        yield "log", float(n), f"sample size {n}"
        yield "log", math.log(float(n)), f"log of log of sample size {n}"
        yield "pow0.75", float(n), f"sample size {n} to the 3/4"
    # BCT: the default beta, its log and log1p(-beta), and ln_gamma at the counts it sums.
    for a in (2, 3, 4, 5, 8, 10, 16, 20, 26, 40):
        exponent = (float(a) + -1.0) * NEGATIVE_LN2
        yield "exp", exponent, f"default beta, alphabet {a}"
        beta = default_beta(a)
        yield "log", beta, f"log beta, alphabet {a}"
        yield "log1p", -beta, f"log(1 - beta), alphabet {a}"
        yield "ln_gamma", a * 0.5, f"ln_gamma(A/2), alphabet {a}"
        for n in (1, 7, 63, 64, 1000):
            yield "ln_gamma", float(n) + a * 0.5, f"ln_gamma(N + A/2), N {n}, alphabet {a}"
    for c in list(range(0, 64)) + [64, 100, 135, 1000, 10**6]:
        yield "ln_gamma", float(c) + 0.5, f"ln_gamma(c + 1/2), c {c}"


FUNCTIONS = {
    "log": math.log,
    "log1p": math.log1p,
    "exp": math.exp,
    "pow0.75": lambda x: math.pow(x, 0.75),
    "ln_gamma": ln_gamma,
}


def main() -> None:
    print("# function\targument\tresult\twhere the fit uses it")
    for name, argument, note in rows():
        print(f"{name}\t{bits(argument)}\t{bits(FUNCTIONS[name](argument))}\t{note}")


if __name__ == "__main__":
    main()
