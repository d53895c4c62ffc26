# The benchmark's table from its results alone: jq -rn -f bench/table.jq build/default/bench-results/*.json
# Each file is taken as the list of the values in it (times in seconds, memory in KiB); a phase that
# was not run has no rows.
def fixed($d): (. * pow(10; $d) | round) as $n | ($n | fabs) as $v | (if $n < 0 then "-" else "" end)
  + ($v / pow(10; $d) | floor | tostring) + (if $d > 0 then "." + ($v + pow(10; $d) | tostring)[-$d:] else "" end);
def sign: if . >= 0 then "+" else "" end;
def ms($d): (. * 1e3 | fixed($d)) + " ms";
def mib: (. / 1024 | fixed(1));
def median: sort | if length % 2 == 1 then .[length / 2 | floor] else (.[length / 2 - 1] + .[length / 2]) / 2 end;
def p99: sort | .[length * 0.99 | ceil - 1]; # nearest rank
def spread: "\(median | ms(1)) / \(max | ms(1))";
def row($figure; $what; $value; $floor; $versus; $goal; $met):
  [$figure, $what, $value, $floor, $versus, $goal // "(information)",
   if $goal == null then "—" elif $met then "yes" else "NO" end];
# A figure and its floor, met when within GOAL times the floor.
def ratio($figure; $what; $value; $floor; $goal; format):
  row($figure; $what; $value | format; $floor | format; "×" + ($value / $floor | fixed(2));
      "≤ ×" + ($goal | fixed(2)); $value <= $goal * $floor);
# A repair's latencies beside its floor's, met when the worst is within $slack of the floor's worst
# (null: within 100 ms).
def repair($figure; $what; $how; $slack): [.value, .floor | max] as [$worst, $floor_worst]
  | row($figure; "\($what) (\(.value | length) trials\($how)), median / max"; .value | spread; .floor | spread;
        ($worst - $floor_worst | "max \(sign)\(ms(1))"); if $slack then "max ≤ floor + \($slack * 1000) ms" else "max ≤ 100 ms" end;
        .complete and $worst <= (if $slack then $floor_worst + $slack else 0.1 end));

reduce inputs as $value ({}; .[input_filename | split("/")[-1] | rtrimstr(".json")] += [$value]) | . as $r
| [ ($r.timing[0] // empty
     | (reduce (.benchmarks[] | select(.run_type == "iteration")) as $run ({};
         .[$run.run_name | split("/")[0]] += [$run.real_time * {ns: 1e-9, us: 1e-6, ms: 1e-3}[$run.time_unit]])) as $t
     | "main-thread time of one refresh (floor: a bare blocking Get of the unit's ActiveState on the same connection)"
     | ratio(1; "\(.), median (n=\($t.refresh | length))"; $t.refresh | median; $t["refresh-floor"] | median; 1.2; ms(3)),
       ratio(1; "\(.), p99"; $t.refresh | p99; $t["refresh-floor"] | p99; 1.2; ms(3))),
    ($r.startup[0].results // empty
     | ratio(5; "start → first state shown, window up, loop running (client main(), ending there; floor: ending on its first loop pass), median (n=\(.[0].times | length))";
             .[0].median; .[1].median; 3; ms(3))),
    ($r.idle[0] // empty
     | (.hz * .window) as $ticks | [.client, .floor | .[1].ticks - .[0].ticks] as [$cpu, $base]
     | def share: "\(100 * . / $ticks | fixed(2)) % (\(.) ticks)";
       ratio(3; "idle resident memory (VmRSS) after \(.settle) s (floor: minimal Qt window + tray + an async ListUnitsByNames every 2 s)";
             .client[0].rss; .floor[0].rss; 1.15; mib + " MiB"),
       ratio(3; "idle proportional memory (Pss, smaps_rollup) after \(.settle) s"; .client[0].pss; .floor[0].pss; 1.15; mib + " MiB"),
       row(4; "idle CPU over \(.window) s, utime+stime"; $cpu | share; $base | share;
           (100 * ($cpu - $base) / $ticks | "\(sign)\(fixed(2)) points"); "≤ floor + 1 point"; $cpu - $base <= $ticks / 100)),
    ($r["crash-loop"][0] // empty
     | .t0 as $t0 | (.t1 - .t0) as $span | ([.seconds, 120] | min) as $early
     | [.client, .floor | .resets, .starts | map(. - $t0 | select(. >= 0 and . <= $span))] as [$resets, $starts, $floor_resets, $floor_starts]
     | def early: map(select(. <= $early)) | length;
       def count($what; $n; $floor; $goal): row(8; $what; $n; $floor; $n - $floor | "\(sign)\(.)"; "≤ \($goal)"; $n <= $goal);
       def times: if length == 0 then "none" else map(fixed(1)) | join(" ") end;
       ($span | round) as $span
     | count("crash loop (the unit fails at once: Restart=always, RestartSec=0, systemd's start limit of 5 in 10 s), the client running \($span) s; floor: a unit just like it beside, no client: start-limit resets (ResetFailedUnit of the unit on the bus) in the first \($early) s";
             $resets | early; $floor_resets | early; 5),
       count("the same, resets over \($span) s"; $resets | length; $floor_resets | length; 10),
       row(8; "the same, starts over \($span) s (a line each from ExecStart)"; $starts | length; $floor_starts | length;
           if $floor_starts == [] then "—" else "×" + (($starts | length) / ($floor_starts | length) | fixed(1)) end; null; true),
       row(8; "the same, when the resets came (s into the window)"; $resets | times; $floor_resets | times; "—"; null; true)),
    ($r.storm[0] // empty
     | [.client, .floor | .probes | max] as [$worst, $floor_worst]
     | [.client, .floor | .rss[1] - .rss[0]] as [$grown, $floor_grown]
     | row(9; "storm: the unit stopped and started back to back for \(.seconds) s (\(.answered) of \(.calls) calls answered); the main thread closing a connection to the single-instance socket, connect → close every 20 ms (n=\(.client.probes | length); floor: quern-bench-floor --listen beside, taking the same reports, n=\(.floor.probes | length)), median / worst";
           .client.probes | spread; .floor.probes | spread; ($worst - $floor_worst | "worst \(sign)\(ms(1))"); "worst ≤ 100 ms"; $worst <= 0.1),
       row(9; "resident memory (VmRSS) before the storm → \(.after) s after it";
           "\(.client.rss[0] | mib) → \(.client.rss[1] | mib) MiB"; "\(.floor.rss[0] | mib) → \(.floor.rss[1] | mib) MiB";
           "\($grown | sign)\($grown) KiB vs \($floor_grown | sign)\($floor_grown) KiB"; "≤ +2048 KiB"; $grown <= 2048)),
    ($r.killed[0] // empty | repair(2; "agent killed (SIGKILL) → StartUnit answered";
       ", ≥ \(.spacing) s apart; floor: systemd's PropertiesChanged reaching a bare subscriber"; 0.005)),
    ($r.silent[0] // empty | repair(6; "agent silent → KillUnit SIGHUP answered, from server_ok_at turning 12 s old";
       "; floor: a thread woken then, one bare Get answered"; null)),
    ($r.growth[0] // empty
     | [.client, .floor | .fds, .rss] as [$fds, $rss, $floor_fds, $floor_rss]
     | def text: "\(.[0]) → \(.[1])"; def grown: .[1] - .[0] | "\(sign)\(.)";
       row(7; "open descriptors over \(.count) refreshes (floor: \(.count) bare Gets)"; $fds | text; $floor_fds | text;
           "\($fds | grown) vs \($floor_fds | grown)"; "no growth"; $fds[1] <= $fds[0]),
       row(7; "resident memory (VmRSS), before → after"; "\($rss | text) KiB"; "\($floor_rss | text) KiB";
           "\($rss | grown) vs \($floor_rss | grown) KiB"; "≤ +1024 KiB"; $rss[1] - $rss[0] <= 1024))
  ] as $rows
| ($r.run[0] // {}) as $run
| "", "Quern Zova benchmark\(if $run.short == 1 then " (short mode: tiny counts, figures not meaningful)" else "" end)",
  "machine: \($run.cores) cores, load average \($run.load); \($run.seconds) s",
  "a private systemd --user (scripts/user-manager.sh), the agent its unit; whole-program figures on \($run.platform); in-process figures on Qt's offscreen platform; JSON in \($run.results)",
  "", "| # | figure | value | floor | value vs floor | goal | met |", "|---|---|---|---|---|---|---|",
  ($rows | sort_by(.[0])[] | "| \(map(tostring) | join(" | ")) |")
