# The NetBird client release the package ships as lib/netbird, and the one the simulator (sim/)
# stands in for. The daemon and the simulator state it from here.
set(NETBIRD_VERSION 0.72.4)
