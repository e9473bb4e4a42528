#include "RunLog.h"

#include <iostream>

void logLine(const QByteArray& line)
{
    std::cout.write(line.constData(), line.size());
    std::cout << '\n';
}
