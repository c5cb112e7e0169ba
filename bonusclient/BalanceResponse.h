#ifndef BALANCERESPONSE_H
#define BALANCERESPONSE_H

// The server's answer to a balance query, in roubles.
class BalanceResponse
{
public:
    double balance = 0;
    double balanceInactive = 0;
};

#endif // BALANCERESPONSE_H
