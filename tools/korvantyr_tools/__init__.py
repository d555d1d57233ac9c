"""The commands installed with korvantyr: korvantyr-monitor (live view of a robot),
korvantyr-record (record states into a CSV file and a plot) and korvantyr-sim (the simulated robot,
with the ``sim`` extra). korvantyr-scan, which lists the robots on the network, and
korvantyr-relay, which reaches robots that multicast cannot, are one C++ executable that
``native`` runs. Each command has ``--help``; none is part of the ``korvantyr`` module."""
