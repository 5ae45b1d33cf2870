require "json"
require_relative "../lib/store/cache"

module Billing
  # An invoice with its line items.
  class Invoice < Base
    attr_reader :items

    def initialize(customer, items = [])
      @customer = customer
      @items = items.map { |i| Item.new(i) }
    end

    # Total in cents.
    def total(tax: 0)
      sum = items.sum(&:price)
      (sum * (1 + tax)).round
    end

    def self.load(path)
      new(JSON.parse(File.read(path)))
    end
  end
end

def report(invoice)
  puts invoice.total
end
