# The chart of one benchmark run: for every operation, the library's rate as a share of the bare
# TLS floor, of the canned-reply floor (no device work), of p11-kit's remoting in front of
# SoftHSM2 and, in-process, of SoftHSM2 called directly. Drawn by scripts/bench.sh:
#   gnuplot -e "data='figures.tsv'; title='...'" bench/chart.gp > chart.svg
set terminal svg size 1100,640 dynamic enhanced font "sans,12" background "white"
set title title."\nthe library's rate as a share of each (1 = as fast)" noenhanced
set datafile separator "\t"
set datafile missing "-"
stats data using 0 nooutput  # the operations, before any range applies
set style data histogram
set style histogram clustered gap 1.5
set style fill solid 0.85 border -1
set boxwidth 0.95
cap = 2.5  # taller bars are cut at the top, their value written there
set yrange [0:cap]
set ytics 0.25
set grid ytics lc rgb "#dddddd"
set key below left Left reverse maxrows 2 width -8 noenhanced
set xtics nomirror scale 0 font ",11" noenhanced
set bmargin 8
set border 3
set xrange [-0.6:STATS_max + 0.6]
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 1.5 lc rgb "#444444" back
label(column) = valid(column) ? sprintf("%.2f", column(column)) : ""
at(column) = column(column) < cap ? column(column) : cap - 0.12
op(i) = stringcolumn(1)."\n".stringcolumn(2)." ".stringcolumn(3)
plot data using 4:xticlabels(op(0)) title "over TLS, of the bare TLS floor (same requests to orvo-sim)" lc rgb "#1f77b4", \
     '' using 5 title "over TLS, of the canned-reply floor (same sizes, no device work)" lc rgb "#9ecae1", \
     '' using 6 title "over TLS, of p11-kit remoting in front of SoftHSM2" lc rgb "#ff7f0e", \
     '' using 7 title "in-process, of SoftHSM2 called directly" lc rgb "#2ca02c", \
     '' using ($0 - 0.3):(at(4)):(label(4)) with labels offset 0,0.8 font ",9" notitle, \
     '' using ($0 - 0.1):(at(5)):(label(5)) with labels offset 0,0.8 font ",9" notitle, \
     '' using ($0 + 0.1):(at(6)):(label(6)) with labels offset 0,0.8 font ",9" notitle, \
     '' using ($0 + 0.3):(at(7)):(label(7)) with labels offset 0,0.8 font ",9" notitle
