"""The Performance page's tables, from the benchmark figures committed in
docs/perf/results.json (docs/perf/make_perf.py writes them; the build never
runs a benchmark).

``.. perf-machine::`` describes the machine and the run; ``.. perf-table:: NAME``
tabulates one benchmark (box, symmetric, secretstream, hybrid). A benchmark
missing from the file is a warning, which the test command's build turns into
a failure.
"""

from __future__ import annotations

import json
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

RESULTS = Path(__file__).resolve().parents[1] / "perf" / "results.json"


def duration(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns / 1e6:.2f} ms"


def verdict(ratio: float, target: float | None) -> str:
    if target is None:
        return "—"
    return f"≤ {target:g}: " + ("met" if ratio <= target else "**missed**")


def list_table(header: list[str] | None, rows: list[list[str]], widths: list[int]) -> list[str]:
    lines = [".. list-table::", f"   :header-rows: {1 if header else 0}",
             f"   :widths: {' '.join(map(str, widths))}", ""]
    for row in ([header] if header else []) + rows:
        lines.append(f"   * - {row[0]}")
        lines += [f"     - {cell}" for cell in row[1:]]
    return lines + [""]


def box_table(b: dict) -> list[str]:
    rows = [[f"``{r['name']}``", r["what"], duration(r["ns"]), f"{r['ratio']:.2f}",
             verdict(r["ratio"], r.get("target"))] for r in b["rows"]]
    lines = list_table(["measured", "what one iteration does", "time", "ratio", "target"], rows,
                       [14, 44, 12, 10, 16])
    lines.append(f"Ratios to the floor, ``{b['baseline']}``. Best of {b['rounds']} rounds of "
                 f"{b['iterations']} iterations, page size {b['page_size']}.")
    return lines


def ratio_rows(rows: list[dict]) -> list[list[str]]:
    return [[f"``{r['operation']}``", duration(r["ours_ns"]), duration(r["theirs_ns"]),
             f"{r['ratio']:.2f}", verdict(r["ratio"], r.get("target"))] for r in rows]


def symmetric_table(b: dict) -> list[str]:
    lines = list_table(["operation", "velmora._secure", "peer", "ratio", "target"],
                       ratio_rows(b["rows"]), [30, 16, 16, 10, 16])
    lines.append(f"Best of {b['repeat']} repeats of each timed loop, the two sides alternating.")
    return lines


def secretstream_table(b: dict) -> list[str]:
    lines = list_table(["operation", "velmora._secure", f"PyNaCl {b.get('peer_version', '')}",
                        "ratio", "target"], ratio_rows(b["rows"]), [24, 16, 16, 10, 16])
    t = b["threads"]
    lines.append(
        f"Two threads pushing 1 MiB chunks on two streams: {t['two_threads_bytes_per_s'] / 1e6:.0f} "
        f"MB/s against {t['one_thread_bytes_per_s'] / 1e6:.0f} MB/s for one thread, "
        f"{t['scale']:.2f}x (target ≥ {t['target']:g}: "
        + ("met" if t["scale"] >= t["target"] else "**missed**")
        + f"); the two-thread round kept {t['cores_busy']:.2f} cores busy. "
        f"Best of {b['rounds']} alternating rounds; single-thread times are the calling "
        "thread's CPU time.")
    return lines


def hybrid_table(b: dict) -> list[str]:
    rows = []
    for path, results in b["paths"].items():
        for r in results:
            rows.append([f"``{r['operation']}``", path, duration(r["ours_ns"]),
                         duration(r["theirs_ns"]), f"{r['ratio']:.2f}",
                         verdict(r["ratio"], r.get("target"))])
    lines = list_table(["operation", "ML-KEM path", "velmora._secure", "cryptography", "ratio",
                        "target"], rows, [22, 12, 14, 14, 8, 16])
    lines.append(f"The {b['stat']} of {b['rounds']} rounds of {b['ops']} operations per side, "
                 "the sides alternating.")
    return lines


TABLES = {"box": box_table, "symmetric": symmetric_table, "secretstream": secretstream_table,
          "hybrid": hybrid_table}


def machine_table(m: dict) -> list[str]:
    rows = [
        ["processor", f"{m['cpu']} ({', '.join(m.get('cpu_flags', [])) or 'no vector flags'})"],
        ["cores", str(m["cores"])],
        ["kernel", f"Linux {m['kernel']}"],
        ["Python", m["python"]],
        ["peers", f"cryptography {m.get('cryptography')}, PyNaCl {m.get('pynacl')}"],
        ["measured", f"{m['date']}, commit ``{m.get('commit')}``"],
        ["load average", f"{m['load_before']} before the run, {m['load_after']} after"],
    ]
    if m.get("quick"):
        rows.append(["settings", "**quick run** (fewer rounds): rough figures"])
    return list_table(None, rows, [20, 80])


class PerfDirective(SphinxDirective):
    def results(self) -> dict | None:
        self.env.note_dependency(str(RESULTS))
        try:
            return json.loads(RESULTS.read_text(encoding="utf-8"))
        except (OSError, ValueError) as e:
            self.state.document.reporter.warning(f"cannot read {RESULTS.name}: {e}",
                                                 line=self.lineno)
            return None

    def render(self, lines: list[str]) -> list[nodes.Node]:
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(RESULTS)), self.content_offset,
                                container)
        return container.children


class PerfMachine(PerfDirective):
    def run(self):
        data = self.results()
        return self.render(machine_table(data["machine"])) if data else []


class PerfTable(PerfDirective):
    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        data = self.results()
        if data is None:
            return []
        if name not in TABLES or name not in data["benchmarks"]:
            self.state.document.reporter.warning(f"no figures for benchmark {name!r} in "
                                                 f"{RESULTS.name}", line=self.lineno)
            return []
        return self.render(TABLES[name](data["benchmarks"][name]))


def setup(app):
    app.add_directive("perf-machine", PerfMachine)
    app.add_directive("perf-table", PerfTable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
