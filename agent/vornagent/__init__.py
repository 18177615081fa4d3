"""The transfer agent's modules."""
