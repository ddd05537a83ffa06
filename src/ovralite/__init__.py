"""ovralite: NPU model tooling."""

__version__ = "0.1.0"
