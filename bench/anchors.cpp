// Timing anchors for the benchmark driver (run_bench.py builds this with g++ -O2).
//
//   anchors gen   --alphabet A --n N --seed S [--source-depth D] --out FILE
//       Draws N symbols from a fixed random variable-length source and writes them as raw
//       uint8 (alphabet <= 256). Prints a JSON summary of the source on stdout.
//
//   anchors count --in FILE --n N --alphabet A --depth D [--conditioning C] [--repeat R]
//       Counts every context of length 0..D of the positions C..N-1 (C defaults to D) into flat
//       counters: a dense array of A^d * A counters per depth d where that fits, otherwise an
//       open-addressing hash table keyed by the exact context code. This is the cost of counting
//       alone: no trie, no selection. Only the counting loop is timed (steady_clock, best of R);
//       reading the file and allocating and zeroing the tables are not. Prints JSON with the time and the number of distinct contexts
//       and (context, symbol) pairs per depth.
//
//   anchors sort --in FILE --n N --alphabet A [--repeat R]
//       Sorts the n 64-bit leading context codes of the positions (each the last floor(64/b)
//       symbols, b bits a symbol) by LSD radix, eight passes of 8 bits: the memory-speed floor
//       of ordering every position's context. Only the sort is timed (best of R).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <sys/mman.h>

namespace {

using u128 = unsigned __int128;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "anchors: %s\n", message.c_str());
  std::exit(2);
}

// The first n bytes of the file (all of it when n is 0 or larger); n becomes what was read.
std::vector<std::uint8_t> read_symbols(const std::string& in, std::size_t& n) {
  FILE* f = std::fopen(in.c_str(), "rb");
  if (!f) die("cannot open " + in);
  std::fseek(f, 0, SEEK_END);
  const auto file_size = static_cast<std::size_t>(std::ftell(f));
  std::fseek(f, 0, SEEK_SET);
  if (n == 0 || n > file_size) n = file_size;
  std::vector<std::uint8_t> data(n);
  if (n && std::fread(data.data(), 1, n, f) != n) die("short read from " + in);
  std::fclose(f);
  return data;
}

// ---------------------------------------------------------------------------------------------
// Random numbers: splitmix64 seeding a xoshiro256**, identical on every platform.

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix64(seed);
  }
  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

// ---------------------------------------------------------------------------------------------
// The source: a full context tree (every internal node has A children, indexed by the symbol
// one further back in time) whose leaves carry next-symbol distributions.

struct Source {
  std::uint32_t alphabet = 0;
  std::vector<std::int32_t> first_child;  // per node: index of child 0, or -1 for a leaf
  std::vector<std::int32_t> leaf_of;      // per node: leaf index, or -1
  std::vector<std::uint16_t> depth;
  std::vector<double> cdf;                // per leaf: A cumulative probabilities
  std::size_t leaves = 0;
  std::size_t deepest = 0;
};

Source make_source(std::uint32_t alphabet, std::uint32_t source_depth, Rng& rng) {
  Source src;
  src.alphabet = alphabet;
  // Small alphabets: every non-root node splits with probability 1/2 (about A/2 split children
  // per split node). Large alphabets: probability 1/A, about one, so the tree stays small. One
  // child of every forced node is forced too, so the deepest context reaches source_depth.
  const double split_probability = alphabet <= 16 ? 0.5 : 1.0 / alphabet;
  const std::size_t internal_budget = alphabet <= 16 ? 4096 : 64;
  std::size_t internal = 0;
  struct Pending {
    std::int32_t node;
    std::uint32_t depth;
    bool forced;
  };
  src.first_child.push_back(-1);
  src.leaf_of.push_back(-1);
  src.depth.push_back(0);
  std::vector<Pending> queue{{0, 0, true}};
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const Pending p = queue[head];
    const bool split = p.depth < source_depth &&
                       (p.forced || (internal < internal_budget && rng.uniform() < split_probability));
    if (!split) continue;
    ++internal;
    const auto base = static_cast<std::int32_t>(src.first_child.size());
    src.first_child[p.node] = base;
    const std::uint32_t forced_child = static_cast<std::uint32_t>(rng.below(alphabet));
    for (std::uint32_t a = 0; a < alphabet; ++a) {
      src.first_child.push_back(-1);
      src.leaf_of.push_back(-1);
      src.depth.push_back(static_cast<std::uint16_t>(p.depth + 1));
      queue.push_back({base + static_cast<std::int32_t>(a), p.depth + 1,
                       p.forced && a == forced_child});
    }
  }
  // Skewed leaf distributions: weights u^2 for uniform u, so some symbols dominate each leaf.
  for (std::size_t node = 0; node < src.first_child.size(); ++node) {
    if (src.first_child[node] >= 0) continue;
    src.leaf_of[node] = static_cast<std::int32_t>(src.leaves++);
    src.deepest = std::max<std::size_t>(src.deepest, src.depth[node]);
    std::vector<double> w(alphabet);
    double total = 0;
    for (auto& x : w) {
      const double u = rng.uniform();
      x = u * u + 1e-4;
      total += x;
    }
    double acc = 0;
    for (std::uint32_t a = 0; a < alphabet; ++a) {
      acc += w[a] / total;
      src.cdf.push_back(a + 1 == alphabet ? 1.0 : acc);
    }
  }
  return src;
}

int run_gen(const std::map<std::string, std::string>& opt) {
  auto get = [&](const char* key, const char* fallback) {
    auto it = opt.find(key);
    if (it != opt.end()) return it->second;
    if (!fallback) die(std::string("missing --") + key);
    return std::string(fallback);
  };
  const auto alphabet = static_cast<std::uint32_t>(std::stoul(get("alphabet", nullptr)));
  const auto n = static_cast<std::size_t>(std::stoull(get("n", nullptr)));
  const auto seed = static_cast<std::uint64_t>(std::stoull(get("seed", "1")));
  const auto source_depth = static_cast<std::uint32_t>(std::stoul(get("source-depth", "6")));
  const std::string out = get("out", nullptr);
  if (alphabet < 2 || alphabet > 256) die("alphabet must be 2..256 (uint8 output)");

  Rng rng(seed);
  const Source src = make_source(alphabet, source_depth, rng);
  std::vector<std::uint8_t> x(n);
  double log_loss = 0;  // -log2 p(x_i | context) under the true source, for the summary
  for (std::size_t i = 0; i < n; ++i) {
    std::int32_t node = 0;
    std::size_t back = 1;
    while (src.first_child[node] >= 0) {
      // Before the start of the sequence the history reads as symbol 0.
      const std::uint8_t past = i >= back ? x[i - back] : 0;
      node = src.first_child[node] + past;
      ++back;
    }
    const double* cdf = &src.cdf[static_cast<std::size_t>(src.leaf_of[node]) * alphabet];
    const double u = rng.uniform();
    const auto a = static_cast<std::uint32_t>(std::upper_bound(cdf, cdf + alphabet, u) - cdf);
    const std::uint32_t symbol = std::min(a, alphabet - 1);
    x[i] = static_cast<std::uint8_t>(symbol);
    const double p = cdf[symbol] - (symbol ? cdf[symbol - 1] : 0.0);
    log_loss -= std::log2(p);
  }
  FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) die("cannot open " + out);
  if (n && std::fwrite(x.data(), 1, n, f) != n) die("short write to " + out);
  std::fclose(f);
  std::printf(
      "{\"alphabet\": %u, \"n\": %zu, \"seed\": %llu, \"source_depth\": %u, "
      "\"source_nodes\": %zu, \"source_leaves\": %zu, \"deepest_leaf\": %zu, "
      "\"bits_per_symbol\": %.6f}\n",
      alphabet, n, static_cast<unsigned long long>(seed), source_depth,
      src.first_child.size(), src.leaves, src.deepest, n ? log_loss / n : 0.0);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Counting anchor.

struct Slot {
  std::uint64_t lo;
  std::uint64_t hi;
  std::uint32_t count;  // 0 marks an empty slot
};

class HashCounter {
 public:
  explicit HashCounter(std::size_t expected) {
    std::size_t cap = 1024;
    while (cap < 2 * expected) cap <<= 1;
    slots_.assign(cap, Slot{0, 0, 0});
    mask_ = cap - 1;
  }
  void add(u128 key) {
    const auto lo = static_cast<std::uint64_t>(key);
    const auto hi = static_cast<std::uint64_t>(key >> 64);
    std::size_t i = hash(lo, hi) & mask_;
    for (;;) {
      Slot& s = slots_[i];
      if (s.count == 0) {
        s = Slot{lo, hi, 1};
        if (++size_ * 2 > slots_.size()) grow();
        return;
      }
      if (s.lo == lo && s.hi == hi) {
        ++s.count;
        return;
      }
      i = (i + 1) & mask_;
    }
  }
  std::size_t size() const { return size_; }
  const std::vector<Slot>& slots() const { return slots_; }

 private:
  static std::size_t hash(std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t h = lo * 0x9E3779B97F4A7C15ULL ^ (hi + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.size() * 2, Slot{0, 0, 0});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.count) continue;
      std::size_t i = hash(s.lo, s.hi) & mask_;
      while (slots_[i].count) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

struct Counters {
  std::vector<std::vector<std::uint32_t>> dense;  // depths 0..dense_depth
  std::vector<HashCounter> hashed;                // depths dense_depth+1..depth
};

// Largest dense table per depth, in counters (4 bytes each).
constexpr double kDenseLimit = 1u << 25;

int dense_depth_for(std::uint32_t alphabet, std::uint32_t depth) {
  int last = -1;
  for (std::uint32_t d = 0; d <= depth; ++d) {
    if (std::pow(static_cast<double>(alphabet), d + 1.0) > kDenseLimit) break;
    last = static_cast<int>(d);
  }
  return last;
}

// Tables for every depth, zeroed and sized for the positions to count, so that the timed loop
// does no allocation: dense up to the deepest depth that fits kDenseLimit, hashed below it.
Counters make_counters(std::uint32_t alphabet, std::uint32_t depth, std::size_t positions) {
  const int dense_last = dense_depth_for(alphabet, depth);
  Counters c;
  std::size_t width = alphabet;
  for (int d = 0; d <= dense_last; ++d) {
    c.dense.emplace_back(width, 0u);
    width *= alphabet;
  }
  for (int d = dense_last + 1; d <= static_cast<int>(depth); ++d) {
    c.hashed.emplace_back(positions);
  }
  return c;
}

// The loop that is timed. Context code of depth d: x[i-1] + A*x[i-2] + ... (most recent first),
// extended by one symbol per depth; the counter index is code*A + x[i].
void count_contexts(Counters& c, const std::uint8_t* x, std::size_t n, std::uint32_t alphabet,
                    std::uint32_t depth, std::size_t conditioning) {
  std::vector<std::uint32_t*> tables;
  for (auto& t : c.dense) tables.push_back(t.data());
  const std::uint64_t a = alphabet;
  const int dense_levels = static_cast<int>(c.dense.size());
  const int levels = static_cast<int>(depth) + 1;
  for (std::size_t i = conditioning; i < n; ++i) {
    const std::uint64_t s = x[i];
    std::uint64_t code = 0;
    int d = 0;
    for (; d < dense_levels; ++d) {
      ++tables[d][code * a + s];
      code = code * a + x[i - 1 - d];
    }
    if (d < levels) {
      u128 wide = code;
      for (; d < levels; ++d) {
        c.hashed[d - dense_levels].add(wide * a + s);
        wide = wide * a + x[i - 1 - d];
      }
    }
  }
}

int run_count(const std::map<std::string, std::string>& opt) {
  auto get = [&](const char* key, const char* fallback) {
    auto it = opt.find(key);
    if (it != opt.end()) return it->second;
    if (!fallback) die(std::string("missing --") + key);
    return std::string(fallback);
  };
  const std::string in = get("in", nullptr);
  const auto alphabet = static_cast<std::uint32_t>(std::stoul(get("alphabet", nullptr)));
  const auto depth = static_cast<std::uint32_t>(std::stoul(get("depth", nullptr)));
  const auto conditioning =
      static_cast<std::size_t>(std::stoull(get("conditioning", std::to_string(depth).c_str())));
  const int repeat = std::max(1, std::stoi(get("repeat", "3")));
  std::size_t n = static_cast<std::size_t>(std::stoull(get("n", "0")));
  if (alphabet < 2 || alphabet > 256) die("alphabet must be 2..256");
  if (conditioning < depth) die("conditioning must be at least depth");
  if (depth > 15) die("depth above 15 does not fit the 128-bit context code");

  const std::vector<std::uint8_t> x = read_symbols(in, n);
  for (std::uint8_t s : x) {
    if (s >= alphabet) die("symbol outside the alphabet in " + in);
  }

  const std::size_t positions = n > conditioning ? n - conditioning : 0;
  std::vector<double> times;
  Counters kept;
  for (int r = 0; r < repeat; ++r) {
    Counters c = make_counters(alphabet, depth, positions);
    const auto t0 = std::chrono::steady_clock::now();
    count_contexts(c, x.data(), n, alphabet, depth, conditioning);
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(t1 - t0).count());
    if (r + 1 == repeat) kept = std::move(c);
  }

  // Untimed: distinct contexts (trie nodes) and distinct (context, symbol) pairs per depth.
  std::vector<std::uint64_t> nodes, entries;
  std::uint64_t total = 0;
  for (const auto& t : kept.dense) {
    std::uint64_t nd = 0, en = 0;
    for (std::size_t base = 0; base < t.size(); base += alphabet) {
      std::uint64_t sum = 0, nz = 0;
      for (std::uint32_t s = 0; s < alphabet; ++s) {
        sum += t[base + s];
        nz += t[base + s] != 0;
      }
      nd += sum != 0;
      en += nz;
      total += sum;
    }
    nodes.push_back(nd);
    entries.push_back(en);
  }
  for (const auto& h : kept.hashed) {
    std::vector<u128> contexts;
    contexts.reserve(h.size());
    for (const Slot& s : h.slots()) {
      if (!s.count) continue;
      total += s.count;
      contexts.push_back(((static_cast<u128>(s.hi) << 64) | s.lo) / alphabet);
    }
    std::sort(contexts.begin(), contexts.end());
    nodes.push_back(static_cast<std::uint64_t>(
        std::unique(contexts.begin(), contexts.end()) - contexts.begin()));
    entries.push_back(h.size());
  }
  if (total != static_cast<std::uint64_t>(positions) * (depth + 1)) die("count checksum mismatch");

  auto list = [](const std::vector<std::uint64_t>& v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i) s += ", ";
      s += std::to_string(v[i]);
    }
    return s + "]";
  };
  std::vector<std::uint64_t> secs_ns;
  std::string all = "[";
  for (std::size_t i = 0; i < times.size(); ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%.6f", i ? ", " : "", times[i]);
    all += buf;
  }
  all += "]";
  std::uint64_t node_total = 0, entry_total = 0;
  for (auto v : nodes) node_total += v;
  for (auto v : entries) entry_total += v;
  std::printf(
      "{\"seconds\": %.6f, \"all_seconds\": %s, \"n\": %zu, \"alphabet\": %u, \"depth\": %u, "
      "\"conditioning\": %zu, \"positions\": %zu, \"dense_depths\": %zu, \"hashed_depths\": %zu, "
      "\"nodes\": %llu, \"entries\": %llu, \"nodes_by_depth\": %s, \"entries_by_depth\": %s}\n",
      *std::min_element(times.begin(), times.end()), all.c_str(), n, alphabet, depth,
      conditioning, positions, kept.dense.size(), kept.hashed.size(),
      static_cast<unsigned long long>(node_total), static_cast<unsigned long long>(entry_total),
      list(nodes).c_str(), list(entries).c_str());
  return 0;
}


// ---------------------------------------------------------------------------------------------
// One-touch counting anchor: the floor of counting every context of length 0..D. Only the
// table of the strings of D + 1 symbols (context and outcome) is counted, one cell per
// position (prefetched ahead), keeping each cell's first position; every shorter table is then
// summed from the next longer one in sequential passes (counts add, first positions take the
// minimum). The timed part includes the first touch of the freshly mapped tables, which any
// fit pays as well.

// Zeroed memory straight from the kernel, in huge pages where it may: what the fit's tables get.
void* mapped_zeroed(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) die("out of memory");
  if (bytes >= (std::size_t{4} << 20)) madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

struct OneTouchCell {
  std::uint32_t count;
  std::uint32_t earliness;  // n - first position; 0 when empty
};

int run_onetouch(const std::map<std::string, std::string>& opt) {
  auto get = [&](const char* key, const char* fallback) {
    auto it = opt.find(key);
    if (it != opt.end()) return it->second;
    if (!fallback) die(std::string("missing --") + key);
    return std::string(fallback);
  };
  const std::string in = get("in", nullptr);
  const auto alphabet = static_cast<std::uint64_t>(std::stoull(get("alphabet", nullptr)));
  const auto depth = static_cast<std::uint32_t>(std::stoul(get("depth", nullptr)));
  const int repeat = std::max(1, std::stoi(get("repeat", "3")));
  std::size_t n = static_cast<std::size_t>(std::stoull(get("n", "0")));
  if (alphabet < 2 || alphabet > 256) die("alphabet must be 2..256");
  std::uint64_t cells = 1;
  std::vector<std::uint64_t> power(depth + 2, 1);
  for (std::uint32_t k = 1; k <= depth + 1; ++k) {
    power[k] = power[k - 1] * alphabet;
  }
  cells = power[depth + 1];
  if (cells > (std::uint64_t{1} << 34)) die("deepest table too large");
  const std::vector<std::uint8_t> x = read_symbols(in, n);
  if (n <= depth || n - depth > 0xFFFFFFFFull) die("positions must fit 32 bits");
  const std::uint64_t positions = n - depth;
  std::vector<double> times;
  std::uint64_t nonzero = 0;
  for (int r = 0; r < repeat; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<OneTouchCell*> tables(depth + 2, nullptr);
    for (std::uint32_t length = 1; length <= depth + 1; ++length) {
      tables[length] =
          static_cast<OneTouchCell*>(mapped_zeroed(power[length] * sizeof(OneTouchCell)));
    }
    OneTouchCell* deepest = tables[depth + 1];
    constexpr std::size_t kAhead = 32;
    std::uint64_t number = 0;
    for (std::uint32_t k = 0; k <= depth; ++k) number = number * alphabet + x[k];
    std::uint64_t ahead = number;
    for (std::size_t j = depth + 1; j < std::min<std::size_t>(n, depth + kAhead); ++j) {
      ahead = x[j] + alphabet * (ahead - x[j - 1 - depth] * power[depth]);
    }
    for (std::size_t i = depth; i < n; ++i) {
      if (i + kAhead < n) {
        const std::size_t j = i + kAhead;
        ahead = x[j] + alphabet * (ahead - x[j - 1 - depth] * power[depth]);
        __builtin_prefetch(deepest + ahead, 1);
      }
      if (i > depth) number = x[i] + alphabet * (number - x[i - 1 - depth] * power[depth]);
      OneTouchCell& cell = deepest[number];
      if (cell.count++ == 0) cell.earliness = static_cast<std::uint32_t>(positions - (i - depth));
    }
    for (std::uint32_t length = depth; length >= 1; --length) {
      OneTouchCell* out = tables[length];
      for (std::uint64_t a = 0; a < alphabet; ++a) {
        const OneTouchCell* block = tables[length + 1] + a * power[length];
        for (std::uint64_t m = 0; m < power[length]; ++m) {
          out[m].count += block[m].count;
          out[m].earliness = std::max(out[m].earliness, block[m].earliness);
        }
      }
    }
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(t1 - t0).count());
    if (tables[1][0].count + 0 == 0 && positions) die("nothing counted");
    std::uint64_t total = 0;
    nonzero = 0;
    for (std::uint64_t s = 0; s < alphabet; ++s) total += tables[1][s].count;
    for (std::uint64_t c = 0; c < cells; ++c) nonzero += deepest[c].count != 0;
    if (total != positions) die("count checksum mismatch");
    for (std::uint32_t length = 1; length <= depth + 1; ++length) {
      munmap(tables[length], power[length] * sizeof(OneTouchCell));
    }
  }
  std::string all = "[";
  for (std::size_t i = 0; i < times.size(); ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%.6f", i ? ", " : "", times[i]);
    all += buf;
  }
  all += "]";
  std::printf(
      "{\"seconds\": %.6f, \"all_seconds\": %s, \"n\": %zu, \"alphabet\": %llu, \"depth\": %u, "
      "\"positions\": %llu, \"deepest_cells\": %llu, \"deepest_nonzero\": %llu}\n",
      *std::min_element(times.begin(), times.end()), all.c_str(), n,
      static_cast<unsigned long long>(alphabet), depth, static_cast<unsigned long long>(positions),
      static_cast<unsigned long long>(cells), static_cast<unsigned long long>(nonzero));
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Radix anchor: the floor of sorting every position's context, as sorting its leading code.

int run_sort(const std::map<std::string, std::string>& opt) {
  auto get = [&](const char* key, const char* fallback) {
    auto it = opt.find(key);
    if (it != opt.end()) return it->second;
    if (!fallback) die(std::string("missing --") + key);
    return std::string(fallback);
  };
  const std::string in = get("in", nullptr);
  const auto alphabet = static_cast<unsigned>(std::stoul(get("alphabet", nullptr)));
  const int repeat = std::max(1, std::stoi(get("repeat", "3")));
  std::size_t n = static_cast<std::size_t>(std::stoull(get("n", "0")));
  if (alphabet < 2 || alphabet > 256) die("alphabet must be 2..256");
  unsigned bits = 1;
  while ((1u << bits) < alphabet) ++bits;
  const unsigned symbols = 64 / bits;
  const std::vector<std::uint8_t> x = read_symbols(in, n);
  std::vector<double> times;
  std::uint64_t checksum = 0;
  for (int r = 0; r < repeat; ++r) {
    std::vector<std::uint64_t> codes(n), buffer(n);
    const std::uint64_t mask =
        symbols * bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (symbols * bits)) - 1;
    std::uint64_t code = 0;
    for (std::size_t i = 0; i < n; ++i) {
      code = ((code << bits) | x[i]) & mask;
      codes[i] = code;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (unsigned pass = 0; pass < 8; ++pass) {
      std::size_t start[257] = {};
      const unsigned shift = 8 * pass;
      for (std::size_t i = 0; i < n; ++i) ++start[((codes[i] >> shift) & 255) + 1];
      for (int d = 0; d < 256; ++d) start[d + 1] += start[d];
      for (std::size_t i = 0; i < n; ++i) buffer[start[(codes[i] >> shift) & 255]++] = codes[i];
      codes.swap(buffer);
    }
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(t1 - t0).count());
    for (std::size_t i = 1; i < n; ++i) {
      if (codes[i - 1] > codes[i]) die("radix sort out of order");
    }
    checksum = n ? codes[n / 2] : 0;
  }
  std::string all = "[";
  for (std::size_t i = 0; i < times.size(); ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%.6f", i ? ", " : "", times[i]);
    all += buf;
  }
  all += "]";
  std::printf("{\"seconds\": %.6f, \"all_seconds\": %s, \"n\": %zu, \"alphabet\": %u, "
              "\"code_symbols\": %u, \"median_code\": %llu}\n",
              *std::min_element(times.begin(), times.end()), all.c_str(), n, alphabet, symbols,
              static_cast<unsigned long long>(checksum));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: anchors gen|count|onetouch|sort --key value ...");
  std::map<std::string, std::string> opt;
  for (int i = 2; i < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) die(std::string("bad argument ") + argv[i]);
    opt[argv[i] + 2] = argv[i + 1];
  }
  const std::string mode = argv[1];
  if (mode == "gen") return run_gen(opt);
  if (mode == "count") return run_count(opt);
  if (mode == "onetouch") return run_onetouch(opt);
  if (mode == "sort") return run_sort(opt);
  die("unknown mode " + mode);
}
