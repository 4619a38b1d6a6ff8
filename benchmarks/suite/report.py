"""The run's figures as a table for people and as JSON for tools."""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path


def _g(rate: float) -> str:
    """Channel-samples per second in billions."""
    return f"{rate / 1e9:.2f}G"


def _audio(seconds_per_second: float) -> str:
    return f"{seconds_per_second:,.0f}" if seconds_per_second >= 10 else f"{seconds_per_second:.2f}"


def _ratio(r: float) -> str:
    return f"{r:.2f}x" if r < 10 else f"{r:.0f}x"


def _grid(cells: list[dict], title: str, cell_text) -> list[str]:
    hops = sorted({c["hop"] for c in cells})
    channels = sorted({c["channels"] for c in cells})
    by_key = {(c["channels"], c["hop"]): c for c in cells}
    lines = [title, f"{'channels':>8}" + "".join(f"{'hop ' + str(h):>14}" for h in hops)]
    for n in channels:
        lines.append(f"{n:>8}" + "".join(f"{cell_text(by_key[n, h]):>14}" for h in hops))
    return lines


def table(results: dict) -> str:
    m, v, c = results["machine"], results["versions"], results["ceiling"]
    out = [
        f"machine: {m['cpu']}, {m['cores']} cores, {m['os']}; "
        f"load average {m['load_average_at_start']} at start, {m['load_average_at_end']} at end",
        "versions: " + ", ".join(f"{k} {val}" for k, val in v.items()),
        f"vector unit: {m['vector_unit']} (marlune's kernel: {m['marlune_kernel']}); "
        f"numba target: {results['numba']['target']}",
    ]
    if c.get("available"):
        out.append(
            f"in-register ceiling: {_g(c['channel_samples_per_second'])} channel-samples/s "
            f"({c['groups']} group{'s' if c['groups'] > 1 else ''} of {c['lanes']} channels "
            f"interleaved, renormalisation included), best over the run")
    else:
        out.append("in-register ceiling: not available on this CPU (no AVX2 or AVX-512F kernel)")
    s = results["settings"]
    out.append(f"audio: {s['audio_seconds']} s of noise at {s['sample_rate']:.0f} Hz per job "
               f"(less where the result would pass {s['max_result_bytes'] >> 20} MiB, "
               "so that its memory is reused as in a stream of blocks); "
               f"best of {s['repeats']} interleaved repeats"
               + ("; QUICK RUN" if s["quick"] else ""))

    cells = results["resonate"]

    def share(cell):
        text = _g(cell["marlune"]["channel_samples_per_second"])
        if "share_of_ceiling" in cell["marlune"]:
            text += f" {cell['marlune']['share_of_ceiling']:4.0%}"
        return text

    out += [""] + _grid(cells, "marlune resonate, one thread: channel-samples per second, "
                               "share of the in-register ceiling", share)
    out += [""] + _grid(cells, "marlune resonate, one thread: seconds of audio per second",
                        lambda cell: _audio(cell["marlune"]["audio_seconds_per_second"]))
    out += [""] + _grid(cells, "expert numba loop, same bits: marlune's speed / numba's "
                               "(above 1: marlune ahead; ! where the bits differed)",
                        lambda cell: _ratio(cell["marlune_over_numba"])
                        + ("" if cell["numba"]["same_bits"] else " !"))

    w = results.get("whole_file")
    if w:
        mem = w["memory"]
        out += ["", f"whole file: resonate on {w['rows'][0]['samples']} samples of noise, "
                    f"{w['channels']} channels, one call (a fresh result), against the capped "
                    "result above (memory reused)",
                f"  this machine writes fresh memory at {mem['fresh_bytes_per_second'] / 1e9:.2f} "
                f"GB/s and memory already written at {mem['reused_bytes_per_second'] / 1e9:.2f} "
                f"GB/s ({mem['bytes'] >> 20} MiB)",
                f"{'hop':>6}{'result':>10}{'fresh':>10}{'capped':>10}{'fresh/capped':>14}"
                f"{'write limit':>13}{'share of limit':>16}{'page faults':>13}"]
        for r in w["rows"]:
            share = f"{r['share_of_own_limit']:.0%}" if "share_of_own_limit" in r else "-"
            out.append(f"{r['hop']:>6}{r['result_bytes'] / 2**20:>7.0f}MiB"
                       f"{_g(r['channel_samples_per_second']):>10}"
                       f"{_g(r['capped_channel_samples_per_second']):>10}"
                       f"{r['share_of_capped']:>14.0%}"
                       f"{_g(r['fresh_write_limit_channel_samples_per_second']):>13}"
                       f"{share:>16}{r['page_faults']:>13}")

    rs = results.get("real_sound")
    if rs:
        out += ["", f"real sound, {rs['audio_seconds']:.0f} s, hop {rs['rows'][0]['hop']}: "
                    "throughput as a ratio to noise's (1.00: as fast)",
                "  silence: 2 s of a 440 Hz tone, 8 s of zeros; decayed: 8 s more zeros after "
                "it; floor: the tone, then 8 s of noise at -96 dBFS",
                f"{'channels':>8}{'noise':>10}{'silence':>10}{'decayed':>10}{'floor':>10}"
                f"{'not zero after silence':>24}"]
        for r in rs["rows"]:
            ratio = r["ratio_to_noise"]
            out.append(f"{r['channels']:>8}{_g(r['channel_samples_per_second']['noise']):>10}"
                       f"{ratio['silence']:>10.2f}{ratio['decayed']:>10.2f}{ratio['floor']:>10.2f}"
                       f"{r['values_not_zero_after_silence']:>24}")

    peers = results["peers"]
    if peers:
        out += ["", f"peers on {peers[0]['channels']} piano keys, hop {peers[0]['hop']}: "
                    "seconds of audio per second, one thread",
                f"{'peer':<36}{'peer':>10}{'marlune':>10}{'marlune/peer':>14}  check"]
        for p in peers:
            out.append(f"{p['name']:<36}{_audio(p['peer']['audio_seconds_per_second']):>10}"
                       f"{_audio(p['marlune']['audio_seconds_per_second']):>10}"
                       f"{_ratio(p['marlune_over_peer']):>14}  {p.get('check', '')}")

    a = results["all_cores"]
    out += ["", f"all cores ({a['threads']} threads, numba layer {a['threading_layer']}), hop "
                f"{a['hop']}: channel-samples per second; ParallelBank {a['parallel_bank']}",
            f"{'channels':>8}{'marlune 1 thread':>18}{'numba parallel':>16}{'ParallelBank':>15}"
            f"{'ParallelBank/numba':>20}"]
    for row in a["rows"]:
        pool = row.get("ParallelBank")
        single = row["marlune, one thread"]["channel_samples_per_second"]
        out.append(
            f"{row['channels']:>8}{_g(single):>18}"
            f"{_g(row['numba parallel']['channel_samples_per_second']):>16}"
            f"{_g(pool['channel_samples_per_second']) if pool else 'not available':>15}"
            f"{_ratio(row['parallel_bank_over_numba_parallel']) if pool else '-':>20}")

    p = results["process_sample"]
    ns = p["nanoseconds_per_call"]
    out += ["", "process_sample on a 1-channel bank, per call, against the cheapest C function "
                "of the same calling convention",
            f"{'call':<12}{'marlune':>10}{'floor':>10}{'ratio':>8}",
            f"{'positional':<12}{ns['marlune positional']:>8.1f}ns{ns['floor positional']:>8.1f}ns"
            f"{p['ratio_positional']:>7.2f}x",
            f"{'keyword':<12}{ns['marlune keyword']:>8.1f}ns{ns['floor keyword']:>8.1f}ns"
            f"{p['ratio_keyword']:>7.2f}x"]

    if "files" in results:
        import files

        out += [""] + files.table(results["files"])

    slowdowns = sorted(
        cell[name]["channel_samples_per_second"] / cell[name]["median_channel_samples_per_second"]
        for cell in cells for name in ("marlune", "numba"))
    if slowdowns:
        out += ["", f"noise: in the typical resonate cell the median round took "
                    f"{slowdowns[len(slowdowns) // 2] - 1:.0%} longer than the best one"]

    failed = results["checks_failed"]
    out += ["", "checks: " + ("all passed" if not failed else f"{len(failed)} FAILED"),
            f"run took {results['elapsed_seconds']:.0f} s"]
    return "\n".join(out)


def write_json(results: dict, path: Path) -> None:
    """Written to a temporary name beside the target, then renamed over it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=1)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
