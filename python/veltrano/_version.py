# The companion's version (CMakeLists.txt's project VERSION; a test holds them equal) and the version of
# its JSON lines' schema (docs/frame.schema.json's "version") that this package reads.
__version__ = "1.0.0.5"
SCHEMA = "1"
