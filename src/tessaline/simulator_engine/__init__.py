"""The simulator engine: records, protocols and the native expression evaluator."""
