# Lateness plot of horolog-bench's samples (horolog-bench --samples DIR):
#   gnuplot -e "dir='DIR'; out='FILE.png'" tools/bench/plot.gp
# Three panels, Horolog against Boost.Asio: the distribution of W1's one-shot
# lateness, W2's periodic lateness fire by fire (drift shows as a slope), and
# the distribution of W5's absolute-timer lateness.
if (!exists("dir")) dir = 'build/bench/samples'
if (!exists("out")) out = 'docs/benchmark-lateness.png'

set terminal pngcairo size 1500,480 font ",10"
set output out
set multiplot layout 1,3 title "Horolog against Boost.Asio: lateness (callback time minus start + due), microseconds"
set grid
set key bottom right

h1 = dir.'/w1-horolog.dat'; a1 = dir.'/w1-asio.dat'
stats h1 using 2 name "H1" nooutput
stats a1 using 2 name "A1" nooutput
set title "W1: 1,000 one-shot timers due in [10, 1010] ms, one burst"
set xlabel "lateness (us)"
set ylabel "fraction of fires"
set yrange [0:1]
plot h1 using 2:(1.0/H1_records) smooth cumulative lw 2 title "horolog", \
     a1 using 2:(1.0/A1_records) smooth cumulative lw 2 title "asio"

set title "W2: 50 timers every 20 ms for 3 s (the first of them)"
set xlabel "nominal time of the fire (ms)"
set ylabel "lateness (us)"
set autoscale y
set key top right
h2 = dir.'/w2-horolog.dat'; a2 = dir.'/w2-asio.dat'
plot h2 using 2:3 with linespoints pt 7 ps 0.3 title "horolog", \
     a2 using 2:3 with linespoints pt 7 ps 0.3 title "asio"

h5 = dir.'/w5-horolog.dat'; a5 = dir.'/w5-asio.dat'
stats h5 using 1 name "H5" nooutput
stats a5 using 1 name "A5" nooutput
set title "W5: 100 absolute timers due 1 to 3 s ahead"
set xlabel "lateness (us)"
set ylabel "fraction of fires"
set yrange [0:1]
set key bottom right
plot h5 using 1:(1.0/H5_records) smooth cumulative lw 2 title "horolog", \
     a5 using 1:(1.0/A5_records) smooth cumulative lw 2 title "asio"
unset multiplot
