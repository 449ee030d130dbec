/*
 * Built for ARMv7, runs one instruction the ARM1176 lacks (movw, ARMv6T2 and
 * later); built for the hub, runs none. Run under the emulator, it shows whether
 * the CPU model really refuses code newer than the hub's core.
 */
int main(void)
{
#if defined(__ARM_ARCH) && __ARM_ARCH >= 7
	unsigned int v;

	__asm__ volatile("movw %0, #0x1234" : "=r"(v));
	return v == 0x1234 ? 0 : 1;
#else
	return 0;
#endif
}
