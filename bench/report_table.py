#!/usr/bin/env python3
# bench/report_table.py: turns tarvin_bench's JSON into one Markdown table,
# each measurement beside its floor or peer from the same run, with their
# ratio. Medians when the run has repetitions, single runs otherwise.
#
# The targets are printed, never enforced: on a shared two-core machine a
# missed target is a reason to profile, not to fail a build. The exit status
# is non-zero only when a benchmark could not run at all.
#
# Usage: report_table.py RESULTS.json
import json
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    runs, cvs, spans, errors = {}, {}, {}, []
    aggregated = any(b.get("run_type") == "aggregate" for b in data["benchmarks"])
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"])
        if b.get("error_occurred"):
            errors.append(f"{name}: {b.get('error_message', 'error')}")
            continue
        kind = b.get("aggregate_name") if b.get("run_type") == "aggregate" else None
        if aggregated and kind == "cv":
            cvs[name] = b
        if aggregated and kind in ("min", "max"):
            spans.setdefault(name, {})[kind] = b
        if (kind == "median") if aggregated else (kind is None):
            runs[name] = b
    return data.get("context", {}), runs, cvs, spans, errors


def cpu_ns(b):
    return b["cpu_time"] * TO_NS[b.get("time_unit", "ns")]


def real_ns(b):
    return b["real_time"] * TO_NS[b.get("time_unit", "ns")]


def fmt_ns(v):
    return f"{v:,.0f} ns" if v >= 100 else f"{v:.1f} ns"


def fmt_rate(v):
    return f"{v / 1e3:,.1f} k/s"


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: report_table.py RESULTS.json")
    context, runs, cvs, spans, errors = load(sys.argv[1])

    def cv(name, field):
        b = cvs.get(name)
        if b is None:
            return ""
        value = b.get(field)
        return f" ±{100 * value:.0f}%" if isinstance(value, (int, float)) else ""

    def span(name, field, fmt):
        # The lowest and highest repetition of a counter, where the run has them.
        s = spans.get(name, {})
        if "min" not in s or "max" not in s:
            return ""
        return f" ({fmt(s['min'].get(field, 0))}-{fmt(s['max'].get(field, 0))})"

    rows = []

    def row(measure, value, base, base_value, ratio, target, met):
        verdict = "" if met is None else ("met" if met else "**missed**")
        rows.append((measure, value, base, base_value, ratio, target, verdict))

    sizes = (200, 2047)

    def paired(name, counter):
        value = runs.get(name, {}).get(counter)
        return value if isinstance(value, (int, float)) and value > 0 else None

    # log() against the hand-written floor: what the plug-in adds to a sendto.
    # The verdict goes by the paired ratio where there is one: both sides
    # measured milliseconds apart under the same load.
    for n in (1, 5):
        for size in sizes:
            log, floor = f"log/clients:{n}/bytes:{size}", f"floor_sendto_mutex/clients:{n}/bytes:{size}"
            if log in runs and floor in runs:
                r = cpu_ns(runs[log]) / cpu_ns(runs[floor])
                p = paired(f"paired_log_vs_floor/clients:{n}/bytes:{size}", "ratio")
                judged = p if p is not None else r
                ratio = f"{r:.2f}x" + (f" / paired {p:.2f}x" if p is not None else "")
                row(log, fmt_ns(cpu_ns(runs[log])) + cv(log, "cpu_time"), floor,
                    fmt_ns(cpu_ns(runs[floor])) + cv(floor, "cpu_time"), ratio, "<= 1.10x", judged <= 1.10)
    # log() against spdlog's udp_sink.
    for n in (0, 1, 5):
        for size in sizes:
            log, peer = f"log/clients:{n}/bytes:{size}", f"spdlog_udp/clients:{n}/bytes:{size}"
            if log in runs and peer in runs:
                r = cpu_ns(runs[log]) / cpu_ns(runs[peer])
                row(log, fmt_ns(cpu_ns(runs[log])), peer, fmt_ns(cpu_ns(runs[peer])),
                    f"{r:.2f}x", "< 1.00x", r < 1.0)
    # log() with nobody listening: the price every host message pays.
    for size in sizes:
        log, floor = f"log/clients:0/bytes:{size}", f"floor_sendto_mutex/clients:0/bytes:{size}"
        if log in runs:
            value = cpu_ns(runs[log])
            base = fmt_ns(cpu_ns(runs[floor])) if floor in runs else ""
            ratio = f"{value / cpu_ns(runs[floor]):.2f}x" if floor in runs else ""
            p = paired(f"paired_log_vs_floor/clients:0/bytes:{size}", "ratio")
            if p is not None:
                ratio += f" / paired {p:.2f}x"
            row(log, fmt_ns(value) + cv(log, "cpu_time"), floor if base else "", base, ratio,
                "< 100 ns", value < 100)
    # Allocations on the calling thread, every log() variant.
    logs = [name for name in runs if name.startswith(("log/", "log_threads/"))]
    if logs:
        worst = max(runs[name].get("allocs_per_call", float("nan")) for name in logs)
        row(f"allocs_per_call, max over {len(logs)} log rows", f"{worst:g}", "", "", "", "0", worst == 0)
    for name in sorted(n for n in runs if n.startswith(("spdlog_udp/",))):
        allocs = runs[name].get("allocs_per_call")
        if allocs:
            row(f"allocs_per_call, {name}", f"{allocs:g}", "", "", "", "", None)
    # Requests answered per second against the echo floor.
    for request in ("DRQ", "GLVD"):
        measured, floor = f"request/{request}", f"floor_echo/{request}"
        if measured in runs and floor in runs:
            a = runs[measured]["requests_per_second"]
            b = runs[floor]["requests_per_second"]
            p = paired(f"paired_request_vs_echo/{request}", "rate_ratio")
            judged = p if p is not None else a / b
            target, met = (">= 0.90x", judged >= 0.9) if request == "DRQ" else ("", None)
            ratio = f"{a / b:.2f}x" + (f" / paired {p:.2f}x" if p is not None else "")
            row(measured, fmt_rate(a) + cv(measured, "requests_per_second"), floor,
                fmt_rate(b) + cv(floor, "requests_per_second"), ratio, target, met)
            # The same comparison in the serving thread's CPU time per
            # request, which other users of the machine cannot stretch.
            ca = runs[measured].get("server_cpu_ns_per_request")
            cb = runs[floor].get("server_cpu_ns_per_request")
            if ca and cb:
                p = paired(f"paired_request_vs_echo/{request}", "server_cpu_ratio")
                judged = p if p is not None else cb / ca
                target, met = (">= 0.90x", judged >= 0.9) if request == "DRQ" else ("", None)
                ratio = f"{cb / ca:.2f}x" + (f" / paired {p:.2f}x" if p is not None else "")
                row(f"{measured}, server CPU per request", fmt_ns(ca) + cv(measured, "server_cpu_ns_per_request"),
                    floor, fmt_ns(cb) + cv(floor, "server_cpu_ns_per_request"), ratio, target, met)
            allocs = runs[measured].get("allocs_per_request")
            if allocs is not None:
                row(f"allocs_per_request, {measured}", f"{allocs:.2f}", f"{floor}",
                    f"{runs[floor].get('allocs_per_request', 0):.2f}", "", "", None)
    # Threads: wall-clock calls per second over all threads, against one
    # thread of the same design and against the floor and the peer at the
    # same thread count; the latency of one call (p50 to max) against the
    # floor's; and the CPU time all threads spend per call.
    def fmt_us(v):
        return f"{v / 1e3:,.1f}" if v < 1e5 else f"{v / 1e3:,.0f}"

    def latencies(name):
        r = runs[name]
        return " / ".join(fmt_us(r.get(k, 0)) for k in ("p50_ns", "p99_ns", "p999_ns", "max_ns")) + " us"

    for n in (1, 5):
        single = f"log_threads/clients:{n}/threads:1"
        for threads in (1, 2, 4, 8, 16):
            name = f"log_threads/clients:{n}/threads:{threads}"
            if name not in runs:
                continue
            rate = runs[name].get("calls_per_second")
            rate_text = fmt_rate(rate) + span(name, "calls_per_second", lambda v: f"{v / 1e3:,.0f}")
            if threads > 1 and single in runs:
                base = runs[single]["calls_per_second"]
                row(name, rate_text, single, fmt_rate(base), f"{rate / base:.2f}x", ">= 0.95x",
                    rate / base >= 0.95)
            for design in ("floor_sendto_mutex_threads", "spdlog_udp_threads"):
                other = f"{design}/clients:{n}/threads:{threads}"
                if other not in runs:
                    continue
                base = runs[other]["calls_per_second"]
                target, met = (">= 1.00x", rate / base >= 1.0) if design.startswith("floor") else ("", None)
                row(name, rate_text, other,
                    fmt_rate(base) + span(other, "calls_per_second", lambda v: f"{v / 1e3:,.0f}"),
                    f"{rate / base:.2f}x", target, met)
            for design in ("floor_sendto_mutex_threads", "spdlog_udp_threads"):
                other = f"{design}/clients:{n}/threads:{threads}"
                if other not in runs or "p99_ns" not in runs[name] or "p99_ns" not in runs[other]:
                    continue
                p99, base = runs[name]["p99_ns"], runs[other]["p99_ns"]
                target, met = ("p99 <= 1.50x", p99 / base <= 1.5) if design.startswith("floor") else ("", None)
                row(f"{name}, p50/p99/p99.9/max" + span(name, "p99_ns", fmt_us).replace(" (", " (p99 "),
                    latencies(name), other, latencies(other), f"p99 {p99 / base:.2f}x", target, met)
            if threads > 1 and single in runs:
                cpu, base = runs[name]["cpu_ns_per_call"], runs[single]["cpu_ns_per_call"]
                row(f"{name}, CPU per call", fmt_ns(cpu) + cv(name, "cpu_ns_per_call"), single,
                    fmt_ns(base), f"{cpu / base:.2f}x", "", None)
            floor = f"floor_sendto_mutex_threads/clients:{n}/threads:{threads}"
            if floor in runs and "cpu_ns_per_call" in runs[floor]:
                cpu, base = runs[name]["cpu_ns_per_call"], runs[floor]["cpu_ns_per_call"]
                row(f"{name}, CPU per call", fmt_ns(cpu), floor, fmt_ns(base), f"{cpu / base:.2f}x",
                    "", None)

    # The record store: ingest against bare SQLite inserts of the same
    # values, queries over the large store against reading its first rows.
    ingest, floor = "store_ingest/process_time/real_time", "store_ingest_floor/process_time/real_time"
    if ingest in runs and floor in runs:
        a, b = runs[ingest]["records_per_second"], runs[floor]["records_per_second"]
        row("store_ingest, FTS on, records per wall-clock s", fmt_rate(a) + cv(ingest, "records_per_second"),
            "store_ingest_floor", fmt_rate(b), f"{a / b:.2f}x", "", None)
        # The same per CPU second of the process (the writer and the thread
        # that copies its log into the file), which the other users of the
        # machine cannot stretch.
        ca = a * real_ns(runs[ingest]) / cpu_ns(runs[ingest])
        cb = b * real_ns(runs[floor]) / cpu_ns(runs[floor])
        row("store_ingest, FTS on, records per CPU s", fmt_rate(ca), "store_ingest_floor", fmt_rate(cb),
            f"{ca / cb:.2f}x", "", None)
    base = runs.get("store_query/first100/real_time")
    for name, target_ms in (("match_first100", 50), ("component_level_first100", 20), ("stats", 500)):
        measured = runs.get(f"store_query/{name}/real_time")
        if measured is None:
            continue
        value = real_ns(measured)
        size = f"{measured.get('store_records', 0):,.0f}"
        row(f"store_query/{name} over {size} records", f"{value / 1e6:.2f} ms" + cv(f"store_query/{name}/real_time", "real_time"),
            "store_query/first100" if base else "", f"{real_ns(base) / 1e6:.2f} ms" if base else "",
            f"{value / real_ns(base):.1f}x" if base else "", f"< {target_ms} ms", value < target_ms * 1e6)
        if "bytes_per_record" in measured:
            row(f"store bytes on disk per record, {size} records", f"{measured['bytes_per_record']:.0f} B",
                "", "", "", "", None)

    # The remote client against a sender it cannot outpace: records per CPU
    # second of the receiving thread against the bare recvmmsg() drain.
    floor = runs.get("client_floor/drain/iterations:1/manual_time")
    client_targets = {"client_floor/drain_write": "", "client/tail_text": ">= 0.50x",
                      "client/tail_json": ">= 0.50x", "client/forward_udp": ">= 0.40x", "client/forward_tcp": "",
                      "client/record": "", "client/record_20_rules": ""}
    for name, target in client_targets.items():
        measured = runs.get(f"{name}/iterations:1/manual_time")
        if measured is None or floor is None:
            continue
        a, b = measured["records_per_cpu_second"], floor["records_per_cpu_second"]
        met = None if not target else a / b >= float(target.split()[1].rstrip("x"))
        row(f"{name}, records per CPU s", fmt_rate(a) + cv(f"{name}/iterations:1/manual_time", "records_per_cpu_second"),
            "client_floor/drain", fmt_rate(b) + cv("client_floor/drain/iterations:1/manual_time", "records_per_cpu_second"),
            f"{a / b:.2f}x", target, met)
        row(f"{name}, records per wall-clock s", fmt_rate(measured["records_per_second"]), "client_floor/drain",
            fmt_rate(floor["records_per_second"]), f"{measured['records_per_second'] / floor['records_per_second']:.2f}x",
            "", None)
    # Alert rules on the recorder's receive path: CPU per record with 20
    # rules against the same recorder without.
    bare = runs.get("client/record/iterations:1/manual_time")
    ruled = runs.get("client/record_20_rules/iterations:1/manual_time")
    if bare and ruled:
        ratio = bare["records_per_cpu_second"] / ruled["records_per_cpu_second"]
        row("client/record_20_rules, CPU per record", f"{1e9 / ruled['records_per_cpu_second']:,.0f} ns",
            "client/record", f"{1e9 / bare['records_per_cpu_second']:,.0f} ns", f"{ratio:.2f}x", "<= 1.20x",
            ratio <= 1.20)
    # record keeps an owning copy of each record for its store: only the
    # printing and forwarding paths are held to no allocation.
    clients = [n for n in runs if n.startswith("client/") and not n.startswith("client/record")]
    if clients:
        worst = max(runs[n].get("allocs_per_record", float("nan")) for n in clients)
        row(f"allocs_per_record, max over {len(clients)} client rows", f"{worst:.3f}", "", "", "", "< 0.01",
            worst < 0.01)

    print(f"Machine: {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
          f"load average {', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}; "
          f"{'medians of ' + str(next(iter(runs.values())).get('repetitions', '?')) + ' repetitions' if cvs else 'single runs (quick mode: not for judging)'}.")
    print("log rows: CPU time of the calling thread per call. Requests: answered per wall-clock second, "
          "and the serving thread's CPU time per request (ratio floor/target, so above 1 is faster). "
          "Threads: wall-clock calls per second over all threads (in brackets: the lowest and highest repetition), "
          "the latency of one call in microseconds over all threads' calls (p50 / p99 / p99.9 / max), and the CPU "
          "time of all threads per call. ±: coefficient of variation. "
          "paired: median ratio of short alternating blocks of both sides (the verdict uses it "
          "where present).\n")
    header = ("Measurement", "Value", "Floor / peer", "Value", "Ratio", "Target", "Verdict")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    if errors:
        print("\nBenchmarks that did not run:", file=sys.stderr)
        for e in errors:
            print("  " + e, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
