/* no_unwind.cpp - a function compiled without unwind tables, for the test image that lacks them. */
__attribute__((noinline)) int HelperWithoutUnwindData(int value)
{
    return value * 3;
}
