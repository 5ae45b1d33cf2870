// SPDX-License-Identifier: MIT
pragma solidity ^0.8.20;

import "@openzeppelin/contracts/token/ERC20/IERC20.sol";
import {SafeMath} from "./libs/SafeMath.sol";

/// @title A vault that holds one token.
contract Vault is Ownable {
    IERC20 public immutable token;
    mapping(address => uint256) public balances;

    event Deposited(address indexed who, uint256 amount);

    constructor(IERC20 _token) {
        token = _token;
    }

    /// @notice Deposits tokens for the sender.
    function deposit(uint256 amount) external {
        require(amount > 0, "zero");
        token.transferFrom(msg.sender, address(this), amount);
        balances[msg.sender] = SafeMath.add(balances[msg.sender], amount);
        emit Deposited(msg.sender, amount);
    }
}

interface IVault {
    function deposit(uint256 amount) external;
}
