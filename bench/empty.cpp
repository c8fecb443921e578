// The floor of process start under the same loader: a program that does nothing.
int main()
{
    return 0;
}
