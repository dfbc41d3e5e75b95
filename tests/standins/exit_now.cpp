// Stand-in back end that exits at once, before the service has finished launching it.
int main()
{
    return 0;
}
