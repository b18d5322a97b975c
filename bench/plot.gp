# Throughput against pipeline depth, Parley and Redis, from the data file that
# bench/compare-redis.sh writes. Call as:
#   gnuplot -e "datafile='X.dat'; outfile='X.png'" bench/plot.gp
# Columns: pipeline parley_send redis_lpush parley_fetch redis_get ("-" = none).
set terminal pngcairo size 900,560 font "sans,11"
set output outfile
set datafile missing "-"
set title "Throughput against pipeline depth (50 clients, 64-byte values, medians)"
set xlabel "pipeline depth (requests in flight per connection)"
set ylabel "thousand requests per second"
set logscale x 2
set xtics (1, 4, 16, 64)
set xrange [0.8:80]
set yrange [0:*]
set grid ytics
set key top left
plot datafile using 1:($2/1000) with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "Parley send", \
     datafile using 1:($3/1000) with linespoints lw 2 pt 5 lc rgb "#d62728" dt 2 title "Redis LPUSH", \
     datafile using 1:($4/1000) with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "Parley fetch", \
     datafile using 1:($5/1000) with linespoints lw 2 pt 11 lc rgb "#ff7f0e" dt 2 title "Redis GET"
