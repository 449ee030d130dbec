"""What every Python test suite shares: the procedures' oracle, the sandboxed
service, bounded waiting, pid mapping and the throwaway root. Each suite finds
it through PYTHONPATH, which its CTest entry sets."""
