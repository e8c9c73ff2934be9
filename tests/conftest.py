import pytest


@pytest.fixture(scope="session")
def ee():
    """The expression evaluator module."""
    from tessaline.simulator_engine import expression_evaluator

    return expression_evaluator
