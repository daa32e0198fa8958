"""A slow, literal Python model of the fitting pipeline, used to cross-check the extension.

Every step follows the documented algorithms one to one (linked lists with head insertion,
per-symbol lookups, children summed by walking their lists), so that any shortcut taken by the
compiled code shows up as a difference. Python floats are IEEE doubles and `math` calls the C
library, so values must agree bit for bit.
"""

from __future__ import annotations

import math

NO_INDEX = 0xFFFFFFFF
LN_GAMMA_HALF = 0.5723649429246995
LANCZOS = (
    0.9999999999998099,
    676.5203681218851,
    -1259.1392167224028,
    771.3234287776531,
    -176.6150291621406,
    12.507343278686905,
    -0.13857109526572012,
    9.984369578019572e-06,
    1.5056327351493116e-07,
)


class Trie:
    def __init__(self, alphabet_size, storage_depth):
        # node: [total, parent, first_child, first_count, symbol, depth]
        self.nodes = [[0, NO_INDEX, NO_INDEX, NO_INDEX, NO_INDEX, 0]]
        self.links = []  # [symbol, child, next]
        self.counts = []  # [count, symbol, next]
        self.alphabet_size = alphabet_size
        self.storage_depth = storage_depth
        self.sample_size = 0

    def add_observation(self, node, symbol):
        self.nodes[node][0] += 1
        entry = self.nodes[node][3]
        while entry != NO_INDEX:
            if self.counts[entry][1] == symbol:
                self.counts[entry][0] += 1
                return
            entry = self.counts[entry][2]
        self.counts.append([1, symbol, self.nodes[node][3]])
        self.nodes[node][3] = len(self.counts) - 1

    def find_child(self, node, symbol):
        link = self.nodes[node][2]
        while link != NO_INDEX:
            if self.links[link][0] == symbol:
                return self.links[link][1]
            link = self.links[link][2]
        return NO_INDEX

    def get_or_create_child(self, parent, symbol):
        child = self.find_child(parent, symbol)
        if child != NO_INDEX:
            return child
        child = len(self.nodes)
        self.nodes.append([0, parent, NO_INDEX, NO_INDEX, symbol, self.nodes[parent][5] + 1])
        self.links.append([symbol, child, self.nodes[parent][2]])
        self.nodes[parent][2] = len(self.links) - 1
        return child

    def children(self, node):
        link = self.nodes[node][2]
        while link != NO_INDEX:
            yield self.links[link][1]
            link = self.links[link][2]

    def symbol_count(self, node, symbol):
        entry = self.nodes[node][3]
        while entry != NO_INDEX:
            if self.counts[entry][1] == symbol:
                return self.counts[entry][0]
            entry = self.counts[entry][2]
        return 0

    def context_symbols(self, node):
        symbols = []
        while node != 0:
            symbols.append(self.nodes[node][4])
            node = self.nodes[node][1]
        return symbols


def build(rows, alphabet_size, conditioning_depth, storage_depth):
    trie = Trie(alphabet_size, storage_depth)
    for row in rows:
        for h in range(conditioning_depth, len(row)):
            symbol = row[h]
            trie.add_observation(0, symbol)
            trie.sample_size += 1
            node = 0
            for k in range(1, storage_depth + 1):
                node = trie.get_or_create_child(node, row[h - k])
                trie.add_observation(node, symbol)
    return trie


def ln_gamma(x):
    if x < 0.5:
        return (1.1447298858494002 - math.log(math.sin(3.141592653589793 * x))) - ln_gamma(1 - x)
    z = x - 1
    a = LANCZOS[0]
    for i in range(1, 9):
        a = a + LANCZOS[i] / (z + i)
    t = z + 7.5
    return math.log(a) + ((math.log(t) * (z + 0.5) + 0.9189385332046727) - t)


def bic_plan(trie, penalty):
    a, d, n = trie.alphabet_size, trie.storage_depth, trie.sample_size
    h = penalty * 0.5
    q = float(a - 1) * h
    w = math.log(float(max(n, 1))) * q
    score = [0.0] * len(trie.nodes)
    split = [0] * len(trie.nodes)
    for v in range(len(trie.nodes) - 1, -1, -1):
        total = trie.nodes[v][0]
        ll = 0.0
        if total > 0:
            for k in range(a):
                c = trie.symbol_count(v, k)
                if c > 0:
                    ll += math.log(float(c) / float(total)) * float(c)
        score[v] = ll - w
        kids = list(trie.children(v))
        if trie.nodes[v][5] == d or not kids:
            continue
        total_children = 0.0
        for child in kids:
            total_children += score[child]
        value = total_children - float(a - len(kids)) * w
        if value > score[v]:
            score[v] = value
            split[v] = 1
    return split, [0] * (d + 1)


def bct_plan(trie, beta):
    a, d = trie.alphabet_size, trie.storage_depth
    log_leaf = math.log(beta)
    log_split = math.log1p(-beta)
    half_a = float(a) * 0.5
    unseen = [0.0] * (d + 1)
    depth_split = [0] * (d + 1)
    for depth in range(d - 1, -1, -1):
        candidate = unseen[depth + 1] * float(a) + log_split
        if candidate > log_leaf:
            unseen[depth] = candidate
            depth_split[depth] = 1
        else:
            unseen[depth] = log_leaf
    log_pm = [0.0] * len(trie.nodes)
    split = [0] * len(trie.nodes)
    for v in range(len(trie.nodes) - 1, -1, -1):
        total = trie.nodes[v][0]
        log_kt = ln_gamma(half_a) - ln_gamma(float(total) + half_a)
        for k in range(a):
            term = ln_gamma(float(trie.symbol_count(v, k)) + 0.5) + (-LN_GAMMA_HALF)
            log_kt = log_kt + term
        depth = trie.nodes[v][5]
        if depth == d:
            log_pm[v] = log_kt
            continue
        value = log_split
        m = 0
        for child in trie.children(v):
            value += log_pm[child]
            m += 1
        value += float(a - m) * unseen[depth + 1]
        leaf = log_kt + log_leaf
        if value > leaf:
            log_pm[v] = value
            split[v] = 1
        else:
            log_pm[v] = leaf
    return split, depth_split


def expand(trie, plan):
    node_split, depth_split = plan
    active = [0] * len(trie.nodes)
    terminal = [0] * len(trie.nodes)
    stack = [0]
    while stack:
        v = stack.pop()
        grow = len(trie.nodes) - len(active)
        active += [0] * grow
        terminal += [0] * grow
        active[v] = 1
        is_split = node_split[v] if v < len(node_split) else depth_split[trie.nodes[v][5]]
        if is_split:
            for s in range(trie.alphabet_size):
                child = trie.get_or_create_child(v, s)
                grow = len(trie.nodes) - len(active)
                active += [0] * grow
                terminal += [0] * grow
                stack.append(child)
        else:
            terminal[v] = 1
    return active, terminal


def peres_shield(trie):
    a, d, n = trie.alphabet_size, trie.storage_depth, trie.sample_size
    if n < 3:
        cap = 0
    else:
        level = math.log(math.log(float(n)))
        cap = min(max(int(math.floor(level)), 0), d)
    threshold = math.pow(float(n), 0.75)
    keep = [0] * len(trie.nodes)
    for u in range(1, len(trie.nodes)):
        if trie.nodes[u][5] > cap:
            continue
        c, b = u, trie.nodes[u][1]
        while True:
            deviation = 0.0
            nb = trie.nodes[b][0]
            if nb != 0:
                nu = trie.nodes[u][0]
                for k in range(a):
                    value = abs(trie.symbol_count(u, k) - (trie.symbol_count(b, k) * nu) / nb)
                    if value > deviation:
                        deviation = value
            if deviation >= threshold:
                keep[c] = 1
            if b == 0:
                break
            c, b = b, trie.nodes[b][1]
    active = [0] * len(trie.nodes)
    terminal = [0] * len(trie.nodes)
    stack = [0]
    while stack:
        v = stack.pop()
        active[v] = 1
        kept = 0
        for child in trie.children(v):
            if keep[child]:
                stack.append(child)
                kept += 1
        terminal[v] = 1 if kept < a else 0
    return active, terminal


class Fitted:
    """The selected tree of a literal fit, answering the same questions as the extension."""

    def __init__(self, trie, active, terminal):
        self.trie = trie
        self.active = active
        self.terminal = terminal

    @property
    def node_count(self):
        return sum(self.active)

    def contexts(self):
        found = [
            self.trie.context_symbols(v)
            for v in range(len(self.trie.nodes))
            if self.active[v] and self.terminal[v]
        ]
        return sorted(found, key=lambda c: (len(c), c))

    def find(self, context):
        if len(context) > self.trie.storage_depth:
            return None
        node = 0
        for symbol in reversed(context):
            node = self.trie.find_child(node, symbol)
            if node == NO_INDEX or not self.active[node]:
                return None
        return node

    def suffix_node(self, history):
        best = current = 0
        seen = self.terminal[0]
        steps = self.trie.storage_depth
        for symbol in reversed(history[len(history) - min(len(history), steps):]):
            child = self.trie.find_child(current, symbol)
            if child == NO_INDEX or not self.active[child]:
                break
            if self.terminal[child]:
                seen = 1
                best = child
            current = child
        return best if seen else current

    def counts(self, node):
        return [self.trie.symbol_count(node, s) for s in range(self.trie.alphabet_size)]

    def distribution(self, node):
        denominator = float(self.trie.alphabet_size) * 0.5 + float(self.trie.nodes[node][0])
        return [(float(c) + 0.5) / denominator for c in self.counts(node)]


def fit(rows, alphabet_size, max_depth, method="bct", beta=None, penalty=1.0):
    n = sum(max(0, len(row) - max_depth) for row in rows)
    depth = max_depth
    if method == "peres_shield":
        if n < 3:
            depth = 0
        else:
            level = math.log(math.log(float(n)))
            depth = 0 if level <= 0 else min(max_depth, int(math.floor(level)))
    trie = build(rows, alphabet_size, max_depth, depth)
    if method == "peres_shield":
        active, terminal = peres_shield(trie)
    elif method == "bic":
        active, terminal = expand(trie, bic_plan(trie, penalty))
    else:
        if beta is None:
            beta = 1.0 - math.exp((float(alphabet_size) + -1.0) * -0.6931471805599453)
        active, terminal = expand(trie, bct_plan(trie, beta))
    return Fitted(trie, active, terminal)
